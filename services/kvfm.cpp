// kvfm: the file manager. Takes the suite's programs' connections, their attach, sign-off and
// stop requests, and publishes its address in the data home; its message size follows the
// installation's release level.
#include "kernel/coord/conn_server.h"
#include "kernel/files/install.h"
#include "services/service_main.h"

namespace {

class FileManager : public CXI_MANAGER {
public:
    explicit FileManager(uint16_t size) : CXI_MANAGER("kvfm", DXI_CONN_FILE_MANAGER, size) {}

protected:
    // The data-file requests of the suite's programs are not served by this manager.
    bool request(TXI_MANAGER_CLIENT &client, uint8_t *message) override {
        log("client %word%,5 sent request %word%,5, which this manager does not serve",
            static_cast<int>(client.number), static_cast<int>(fxi_conn_get16(message)));
        return false;
    }
};

} // namespace

int main(int argc, char **argv) {
    TXS_SERVICE_ARGS args;
    if (!service_arguments("kvfm", argc, argv, &args)) return 2;
    // The installation's release level decides the size of every message.
    fxi_set_data_home(args.data_home.c_str());
    fxi_load_installation();
    FileManager manager(fxi_conn_file_size(fxi_release()));
    return run_manager("KOVAFM", manager, args);
}
