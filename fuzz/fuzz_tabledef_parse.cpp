// Fuzzes the table-definition parser with arbitrary documents, as a patch may deliver them:
// it must stay inside its buffers, answer the same way twice, explain every refusal, and
// whatever it accepts must be writable into a consolidated document.
#include "kernel/install/tabledef.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // A copy of exactly `size` bytes, so that reading one byte too far shows.
    const std::string text(reinterpret_cast<const char *>(data), size);
    TXK_TABLEDEF def, again;
    std::string message, message_again;
    const bool parsed = fxk_tabledef_parse(text.data(), text.size(), "Sfuzz.kvx", def, message);
    if (fxk_tabledef_parse(text.data(), text.size(), "Sfuzz.kvx", again, message_again) != parsed ||
        message != message_again)
        std::abort();
    if (!parsed) {
        if (message.empty()) std::abort();
        return 0;
    }
    if (again.columns.size() != def.columns.size() || again.size != def.size) std::abort();
    const std::string document = fxk_tabledef_document({{&def, "Sfuzz.kvx"}});
    if (document.find("<tables") == std::string::npos) std::abort();
    return 0;
}
