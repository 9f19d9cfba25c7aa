// The access rules of the named objects that the managers share with their clients across
// accounts and sessions on Windows.
#include "platform/host.h"

#include <sddl.h>

#include <string>

namespace {

// The system and the administrators in full; every signed-on user (the service accounts among
// them) may read, write and wait, which covers signalling an event, taking a mutex and mapping
// a view, but not changing the access list or the owner. A null access list would also let any
// user rewrite the list and lock the manager and all other clients out of the object.
constexpr const char *shared_object_rules = "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGWGX;;;AU)";

} // namespace

LPSECURITY_ATTRIBUTES kova_shared_object_security() {
    // Made once and kept for the life of the process: every shared object is created with it.
    static SECURITY_ATTRIBUTES *attributes = []() -> SECURITY_ATTRIBUTES * {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
                shared_object_rules, SDDL_REVISION_1, &descriptor, nullptr))
            return nullptr;
        return new SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    }();
    return attributes;
}

std::string kova_object_name_of_process(std::string_view local_name, DWORD process_id) {
    constexpr std::string_view local_prefix = "Local\\";
    DWORD theirs = 0, ours = 0;
    if (local_name.substr(0, local_prefix.size()) != local_prefix ||
        !ProcessIdToSessionId(process_id, &theirs) ||
        !ProcessIdToSessionId(GetCurrentProcessId(), &ours) || theirs == ours)
        return std::string(local_name);
    // A service reaches a user session's own objects through that session's namespace.
    return "Session\\" + std::to_string(theirs) + "\\" +
           std::string(local_name.substr(local_prefix.size()));
}
