// Test support shared by every host: temporary folders, files, fixtures and the built programs.
#include "tests/support/testing.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace kova_test {

TempDir::TempDir() {
    // A random name created exclusively: two test programs running at once never share one.
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = fs::path(temp_base()) /
                         ("kova-test-" + std::to_string(random() % 1'000'000'000'000ULL));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path_ = candidate.generic_string();
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ec;
    // Read-only files and folders must not keep a test's folder alive.
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all,
                        fs::perm_options::add | fs::perm_options::nofollow, ec);
    fs::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(const std::string &name, const std::string &value) : name_(name) {
    if (auto old = get_env(name)) had_ = true, old_ = *old;
    set_env(name, value);
}

ScopedEnv::~ScopedEnv() {
    if (had_)
        set_env(name_, old_);
    else
        unset_env(name_);
}

std::optional<std::string> get_env(const std::string &name) {
    if (const char *value = std::getenv(name.c_str())) return std::string(value);
    return std::nullopt;
}

void write_file(const std::string &path, const std::string &contents) {
    fs::path p(path);
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string fixture(const std::string &relative) {
    return std::string(KOVA_TEST_FIXTURES) + "/" + relative;
}

std::string native_path(std::string path) {
    if (on_windows()) std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string program(const std::string &name) {
    const std::string file = name + program_suffix;
    for (const char *dir : {"/patch/", "/services/", "/tools/kvprefix/", "/kvz/"}) {
        std::string path = std::string(KOVA_BUILD_DIR) + dir + file;
        if (fs::is_regular_file(path)) return path;
    }
    return std::string(KOVA_BUILD_DIR) + "/" + file;
}

} // namespace kova_test
