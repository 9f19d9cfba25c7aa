// kvz: looks inside kvpatch's patches without installing them (list, verify, plan, extract,
// diff) and signs them (keygen, sign). Runs unattended: it never shows a box or asks.
#include "kvz/kvz.h"

#include "kernel/app/startup.h"
#include "kernel/ui/presenter.h"
#include "kernel/ui/usage.h"
#include "platform/host.h"
#include "platform/win32.h"

#include <cstring>

namespace {

constexpr const char *usage_text =
    "usage: kvz COMMAND ...\n"
    "  kvz list PATCH [--json]          header and components of a patch\n"
    "  kvz verify PATCH [--key K.pub]   decode and check everything installation checks,\n"
    "                                   and the signature PATCH.sig when there is one\n"
    "  kvz plan PATCH [--home DIR] [--json]\n"
    "                                   what installing would do in each release tree\n"
    "  kvz extract PATCH DIR            write the components below DIR, with their stamps\n"
    "  kvz diff A B                     components added, removed or changed from A to B\n"
    "  kvz keygen NAME [--signer TEXT]  write the key pair NAME.key (private) and NAME.pub\n"
    "  kvz sign PATCH --key NAME.key    write the signature PATCH.sig\n"
    "Paths may be host paths or DOS paths (S:\\kova2006\\x.kvz).\n";

struct Command {
    const char *name;
    int (*run)(const KvzOptions &);
    size_t operands;
};

constexpr Command commands[] = {
    {"list", kvz_list, 1},       {"verify", kvz_verify, 1}, {"plan", kvz_plan, 1},
    {"extract", kvz_extract, 2}, {"diff", kvz_diff, 2},     {"keygen", kvz_keygen, 1},
    {"sign", kvz_sign, 1},
};

int usage(const char *problem) {
    if (problem) kvz_err(std::string("kvz: ") + problem);
    std::fputs(usage_text, problem ? stderr : stdout);
    return problem ? KVZ_USAGE : KVZ_OK;
}

bool no_desktop() {
    return false;
}

} // namespace

int main(int argc, char **argv) {
    kova_set_host_args(argc, argv);
    // Problems are printed, never shown in boxes or logged into an installation's setup.log.
    fxp_presenter.desktop_visible = no_desktop;
    // kvz runs no start-up, yet what the patch code meets in the layers below reaches the same
    // status line and error report as in kvpatch.
    fxp_startup_reports();

    int count = fxp_argc();
    char **args = fxp_argv();
    if (count < 2) return usage("no command");
    KvzOptions options;
    options.command = args[1];
    if (options.command == "-h" || options.command == "--help" || options.command == "help")
        return usage(nullptr);
    for (int i = 2; i < count; ++i) {
        std::string arg = args[i];
        auto value = [&](std::string &into) {
            if (i + 1 >= count) return false;
            into = args[++i];
            return true;
        };
        if (arg == "--json") {
            options.json = true;
        } else if (arg == "--key") {
            std::string key;
            if (!value(key)) return usage("--key needs a file");
            options.keys.push_back(key);
        } else if (arg == "--signer") {
            if (!value(options.signer)) return usage("--signer needs a name");
        } else if (arg == "--home") {
            if (!value(options.home)) return usage("--home needs a folder");
        } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
            return usage(("unknown option " + kvz_utf8(arg)).c_str());
        } else {
            options.operands.push_back(arg);
        }
    }
    for (const Command &command : commands) {
        if (options.command != command.name) continue;
        if (options.operands.size() != command.operands)
            return usage(("wrong number of operands for " + options.command).c_str());
        return command.run(options);
    }
    return usage(("unknown command " + kvz_utf8(options.command)).c_str());
}
