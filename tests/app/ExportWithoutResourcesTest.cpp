// An export linked into a module that lacks the dialog template: the dialog cannot be created,
// and the export returns DialogBoxParamW's -1 unchanged. It also shows that the exports read the
// template from the module they are linked into, never from another one.
#include <windows.h>

#include <gtest/gtest.h>

#include "app/EntryPoints.h"
#include "tests/app/ScriptedStart.h"

namespace kdm_test {
namespace {

TEST(ExportWithoutResources, DialogThatCannotBeCreatedGivesMinusOne)
{
    EXPECT_EQ(DownloadFile(nullptr), -1);
    EXPECT_EQ(DownloadFileForInstaller(nullptr, L"601"), -1);
    EXPECT_EQ(startScript.calls, 0);
}

} // namespace
} // namespace kdm_test
