// A manager program on POSIX: a service of this platform is a detached process that
// ControlService stops with SIGTERM, which arrives as a console control event; so service and
// console program run alike.
#include "platform/host.h"
#include "platform/win32.h"

namespace {

const KOVA_SERVICE_BODY *service_body = nullptr;

BOOL WINAPI console_control(DWORD) {
    service_body->stop(service_body->context);
    return TRUE;
}

} // namespace

int kova_service_main(LPCSTR, const KOVA_SERVICE_BODY &body) {
    service_body = &body;
    SetConsoleCtrlHandler(console_control, TRUE);
    int started = body.start(body.context);
    int result = started != 0 ? started : body.run(body.context);
    SetConsoleCtrlHandler(console_control, FALSE);
    return result;
}
