// kvz plan: what installing a patch would do in each release tree of the installation that
// kvpatch would use, worked out by the tool's own rules. Writes nothing and stops nothing.
#include "kvz/kvz.h"

#include "kernel/files/file.h"
#include "kernel/files/install.h"
#include "kernel/text/text.h"
#include "patch/entry.h"
#include "patch/install.h"
#include "patch/log.h"
#include "patch/parts.h"
#include "patch/process.h"
#include "patch/reader.h"
#include "patch/revision.h"
#include "patch/signature.h"

namespace {

std::vector<std::string> *collected = nullptr;

void collect(const char *text) {
    if (collected) collected->push_back(text);
}

struct PlannedComponent {
    std::string stored, target;
    std::string action; // a revision's text, "superseded" or "remove"
    std::string stamp, installed_stamp;
};

struct PlannedTree {
    std::string release_dir, data_home, patch;
    std::vector<PlannedComponent> components;
    bool menus = false, tables = false; // rebuilt after this tree
    bool refused = false;
};

// Plans one tree, the current one. False when its patch cannot be read (reported).
bool plan_tree(const PatchTreeStep &step, bool &menus, bool &tables, PlannedTree &tree) {
    tree.release_dir = step.release_dir;
    tree.data_home = fxi_data_home();
    tree.patch = step.patch;
    PatchReader reader;
    if (!reader.open(step.patch.c_str())) return patch_report_read_error(reader);
    const PATCH_FILE_HEADER &header = reader.header();
    std::vector<TXD_CLOCK> stamps;
    while (!reader.at_end()) {
        PATCH_COMPONENT_HEADER component;
        if (!reader.next_component(component) || !reader.skip_component())
            return patch_report_read_error(reader);
        PlannedComponent planned;
        planned.stored = component.path;
        std::string mapped = patch_map_path(component.path, fxi_option(248));
        planned.target = patch_component_target(step.release_dir, mapped);
        if (header.version != 1) planned.stamp = kvz_clock_text(component.stamp);
        // Of several entries for one target only the last is written.
        for (PlannedComponent &earlier : tree.components)
            if (earlier.action.empty() && earlier.target.size() == planned.target.size() &&
                fxd_prefix_nocase(earlier.target.c_str(), planned.target.c_str()) == 0)
                earlier.action = "superseded";
        tree.components.push_back(planned);
        stamps.push_back(component.stamp);
    }
    for (size_t i = 0; i < tree.components.size(); ++i) {
        PlannedComponent &planned = tree.components[i];
        if (!planned.action.empty()) continue;
        PatchRevisionQuery query;
        query.stamp = stamps[i];
        query.undo = reader.is_undo();
        query.version = header.version;
        query.extension = patch_split(planned.target.c_str()).ext;
        query.installed = fxi_test_file(planned.target.c_str());
        if (query.installed) {
            TXI_FILE existing(planned.target.c_str());
            query.installed_dated = existing.get_time(&query.installed_stamp) == 0;
            if (query.installed_dated)
                planned.installed_stamp = kvz_clock_text(query.installed_stamp);
        }
        PatchRevision revision = patch_revision(query);
        planned.action = patch_revision_text(revision);
        if (patch_revision_refused(revision)) tree.refused = true;
        if (patch_extension_is(query.extension, "kve") ||
            patch_extension_is(query.extension, "kvm"))
            menus = true;
        if (patch_extension_is(query.extension, "kvx")) tables = true;
    }
    for (const std::string &added : step.removes) {
        if (!fxi_test_file(added.c_str())) continue;
        PlannedComponent removal;
        removal.target = added;
        removal.action = "remove";
        tree.components.push_back(removal);
    }
    // The rebuild flags are never cleared in a run: every later tree rebuilds too.
    tree.menus = menus;
    tree.tables = tables;
    return true;
}

void print_text(const std::string &patch, const std::string &installation,
                const std::vector<PlannedTree> &trees, bool installs) {
    kvz_out(kvz_utf8("Installing " + patch + " into the installation at " + installation));
    for (const PlannedTree &tree : trees) {
        kvz_out(kvz_utf8(tree.release_dir + (tree.patch == patch ? "" : " from " + tree.patch)));
        for (const PlannedComponent &c : tree.components) {
            std::string line = "  " + c.action;
            line.resize(std::max<size_t>(line.size() + 1, 28), ' ');
            line += c.target;
            if (c.action == "superseded")
                line += "  (a later entry of the patch writes it)";
            else if (!c.stamp.empty() && !c.installed_stamp.empty())
                line += "  (" + c.stamp + ", installed " + c.installed_stamp + ")";
            else if (!c.stamp.empty())
                line += "  (" + c.stamp + ")";
            kvz_out(kvz_utf8(line));
        }
        if (tree.refused) {
            kvz_out("  => refused: nothing changes in this tree, and installing stops here");
            continue;
        }
        if (tree.menus || tree.tables)
            kvz_out(std::string("  then rebuilds") + (tree.menus ? " the menus" : "") +
                    (tree.menus && tree.tables ? " and" : "") +
                    (tree.tables ? " the table definitions" : ""));
    }
    kvz_out(installs ? "kvpatch would install the patch" : "kvpatch would refuse the patch");
}

nlohmann::ordered_json to_json(const std::string &patch, const std::string &installation,
                               const std::vector<PlannedTree> &trees, bool installs) {
    auto text_or_null = [](const std::string &text) -> nlohmann::ordered_json {
        if (text.empty()) return nullptr;
        return kvz_utf8(text);
    };
    nlohmann::ordered_json doc;
    doc["patch"] = kvz_utf8(patch);
    doc["installation"] = kvz_utf8(installation);
    doc["installs"] = installs;
    doc["trees"] = nlohmann::ordered_json::array();
    for (const PlannedTree &tree : trees) {
        nlohmann::ordered_json t;
        t["release_dir"] = kvz_utf8(tree.release_dir);
        t["data_home"] = kvz_utf8(tree.data_home);
        t["patch"] = kvz_utf8(tree.patch);
        t["components"] = nlohmann::ordered_json::array();
        for (const PlannedComponent &c : tree.components)
            t["components"].push_back({{"path", text_or_null(c.stored)},
                                       {"target", kvz_utf8(c.target)},
                                       {"action", c.action},
                                       {"stamp", text_or_null(c.stamp)},
                                       {"installed_stamp", text_or_null(c.installed_stamp)}});
        t["rebuilds"] = nlohmann::ordered_json::array();
        if (!tree.refused && tree.menus) t["rebuilds"].push_back("menus");
        if (!tree.refused && tree.tables) t["rebuilds"].push_back("tables");
        t["refused"] = tree.refused;
        doc["trees"].push_back(t);
    }
    return doc;
}

// Runs the steps of kvpatch that come before any change; false when one of them would stop it.
bool plan(const KvzOptions &options, std::string &installation, std::vector<PlannedTree> &trees,
          bool &installs) {
    const std::string &patch = options.operands[0];
    if (!options.home.empty()) {
        std::string home = options.home;
        if (home.back() != '\\') home += '\\';
        fxi_set_data_home(home.c_str());
    } else if (!patch_take_service_installation()) {
        return patch_report("The registry value ServiceDataHome names no installation");
    }
    if (!fxi_load_installation()) {
        std::string text = "No installation at " + fxi_data_home() +
                           " (name its data home with --home, or set ServiceDataHome)";
        return patch_report(text.c_str());
    }
    if (!patch_signature_allowed(patch.c_str())) return false;
    if (!patch_process(patch.c_str(), PatchMode::verify, nullptr, false)) return false;
    if (!patch_select_server()) return false;
    installation = fxi_data_home();

    bool menus = false, tables = false;
    installs = true;
    for (const PatchTreeStep &step : patch_tree_steps(patch.c_str())) {
        patch_enter_tree(step.release_dir);
        PlannedTree tree;
        if (!plan_tree(step, menus, tables, tree)) return false;
        trees.push_back(std::move(tree));
        if (trees.back().refused) {
            installs = false;
            break;
        }
    }
    return true;
}

} // namespace

int kvz_plan(const KvzOptions &options) {
    const std::string &patch = options.operands[0];
    std::vector<std::string> problems;
    collected = &problems;
    patch_set_report_sink(collect);
    std::vector<PlannedTree> trees;
    bool installs = false;
    std::string installation;
    bool planned = plan(options, installation, trees, installs);
    patch_set_report_sink(nullptr);
    collected = nullptr;
    if (!planned) {
        if (problems.empty()) problems.push_back("the patch would not be installed");
        for (const std::string &problem : problems) kvz_err(kvz_utf8(patch + ": " + problem));
        return KVZ_FAILED;
    }
    if (options.json)
        kvz_out_json(to_json(patch, installation, trees, installs));
    else
        print_text(patch, installation, trees, installs);
    return installs ? KVZ_OK : KVZ_FAILED;
}
