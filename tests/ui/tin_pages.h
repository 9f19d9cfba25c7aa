// The tool's two pages under test, exactly as the tool builds them: the server-drive page (a
// choice of drives and "<< Back" / "Next >>") and the recipient page (a six-character licence
// number and "OK" / "Cancel").
#pragma once

#include "patch/pages.h"

namespace pages_test {

// The pages exactly as the tool builds them.
using DrivePage = PatchDrivePage;
using RecipientPage = PatchRecipientPage;

} // namespace pages_test
