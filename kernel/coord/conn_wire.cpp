// Wire layouts shared by the clients and the managers: the attach message, the user identifier
// it carries and the address file.
#include "kernel/coord/conn.h"

#include "kernel/text/format.h"

#include <algorithm>
#include <cstring>

namespace {

// Attach message offsets.
constexpr size_t at_request = 0, at_signoff = 4, at_slot = 6, at_computer = 8, at_client = 24,
                 at_user = 73, at_block = 82, at_process = 120;
constexpr size_t computer_width = 16, client_width = 49, user_width = 9, block_width = 38;

std::string trim_blanks(const std::string &text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// A fixed-width text field: as many bytes as fit, the rest zero.
void put_text(uint8_t *at, const char *text, size_t width) {
    size_t n = std::min(std::strlen(text), width);
    std::memcpy(at, text, n);
    std::memset(at + n, 0, width - n);
}

void get_text(const uint8_t *at, size_t width, char *out) {
    size_t n = 0;
    while (n < width && at[n]) ++n;
    std::memcpy(out, at, n);
    out[n] = '\0';
}

} // namespace

void fxi_conn_attach_encode(const TXI_CONN_ATTACH &attach, uint8_t *message, uint16_t size) {
    std::memset(message, 0, size);
    fxi_conn_put16(message + at_request, DXI_CONN_ATTACH);
    fxi_conn_put16(message + at_signoff, DXI_CONN_SIGNOFF);
    fxi_conn_put16(message + at_slot, attach.user_slot);
    put_text(message + at_computer, attach.computer, computer_width);
    put_text(message + at_client, attach.client, client_width);
    // The identifier keeps its terminator inside the field.
    put_text(message + at_user, attach.user_id, user_width - 1);
    std::memcpy(message + at_block, attach.block, block_width);
    fxi_conn_put32(message + at_process, attach.process_id);
}

bool fxi_conn_attach_decode(const uint8_t *message, uint16_t size, TXI_CONN_ATTACH *attach) {
    if (size < DXI_CONN_ATTACH_SIZE || fxi_conn_get16(message + at_request) != DXI_CONN_ATTACH)
        return false;
    attach->user_slot = fxi_conn_get16(message + at_slot);
    get_text(message + at_computer, computer_width, attach->computer);
    get_text(message + at_client, client_width, attach->client);
    get_text(message + at_user, user_width, attach->user_id);
    std::memcpy(attach->block, message + at_block, block_width);
    attach->process_id = fxi_conn_get32(message + at_process);
    return true;
}

std::string fxi_conn_user_id(const char *given) {
    if (given && *given) {
        std::string id = given;
        if (id.size() <= 8) return id;
        return trim_blanks(id.substr(0, 8));
    }
    char name[257] = {};
    DWORD size = sizeof name;
    if (!GetUserNameA(name, &size)) name[0] = '\0';
    std::string id = name;
    id.resize(256, ' ');
    return trim_blanks(id.substr(0, 8));
}

std::string fxi_conn_address_file(const std::string &data_home, uint16_t manager) {
    std::string path = data_home;
    if (!path.empty() && path.back() != '\\') path += '\\';
    return fxd_fmt_append(path, "kova%word%,4.adr", static_cast<int>(manager));
}

void fxi_conn_address_encode(uint32_t address, uint16_t port, uint8_t out[DXI_CONN_ADDRESS_SIZE]) {
    std::memset(out, 0, DXI_CONN_ADDRESS_SIZE);
    uint8_t *tcp = out + DXI_CONN_ADDRESS_IPX;
    fxi_conn_put16(tcp, AF_INET);
    // Port and address stay in network order, as a SOCKADDR_IN holds them.
    std::memcpy(tcp + 2, &port, 2);
    std::memcpy(tcp + 4, &address, 4);
}
