// The signed window program of the release starts under Wine as the
// unsigned one does: its main dialog appears, and Exit ends it. The signed
// copy is made by the dist_sign test (sign_test.sh).
#include "qvm_e2e.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

// True when the PE file at `path` has a certificate table (data directory
// 4), where an Authenticode signature lives.
bool has_certificate_table(const char *path) {
    std::ifstream file(path, std::ios::binary);
    IMAGE_DOS_HEADER dos{};
    IMAGE_NT_HEADERS64 nt{};
    if (!file.read(reinterpret_cast<char *>(&dos), sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE)
        return false;
    if (!file.seekg(dos.e_lfanew).read(reinterpret_cast<char *>(&nt), sizeof nt) ||
        nt.Signature != IMAGE_NT_SIGNATURE)
        return false;
    const IMAGE_DATA_DIRECTORY &certs = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
    return certs.VirtualAddress != 0 && certs.Size != 0;
}

TEST(DistSigned, SignedUpdaterShowsItsMainDialogAndExits) {
    ASSERT_TRUE(has_certificate_table(QVM_SIGNED_UPDATER)) << QVM_SIGNED_UPDATER << " is not signed";
    qvm_e2e::Program program;
    ASSERT_TRUE(program.start(QVM_SIGNED_UPDATER));
    const HWND main = program.wait_main();
    ASSERT_NE(main, nullptr) << "no window of class R846_QVM2K_CLASS appeared";
    qvm_e2e::click(main, IDCANCEL);  // Exit
    ASSERT_TRUE(program.wait_exit()) << "Exit did not end the signed program";
    EXPECT_EQ(program.exit_code(), 0u);
}

} // namespace
