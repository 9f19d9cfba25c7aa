// The platform's presenter on POSIX hosts: the terminal presenter is the platform's own, so
// there is nothing to put in its place.
#include "kernel/ui/presenter.h"

void fxp_presenter_platform() {}
