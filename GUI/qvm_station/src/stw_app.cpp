// qvm_station.exe: the application object. Reads the wide command line,
// refuses to start beside a running station, builds the embedded image and
// opens the station window as the main window.
//
// Threads: the user-interface thread (the dialog's); the station thread is
// the dialog's own (stw_run.h).
#include <afxwin.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "com_type.h"
#include "prom.h"
#include "stn_owner.h"
#include "stn_sha256.h"
#include "stn_store_win.h"
#include "stw_args.h"
#include "stw_dlg.h"
#include "stw_resource.h"

namespace {

class StwApp : public CWinApp {
public:
    StwApp() : CWinApp("R846-QVM2K station") {}
    BOOL InitInstance() override;
    int ExitInstance() override;

private:
    SHEX_HEX hex_{};
    StwDialog *dlg_ = nullptr;
};

StwApp the_app;

BOOL StwApp::InitInstance() {
    std::vector<std::string> args;
    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 1; argv != nullptr && i < argc; ++i) args.push_back(stn_utf8(argv[i]));
    if (argv != nullptr) LocalFree(argv);
    StwArgs parsed;
    std::string error;
    if (!stw_parse_args(args, &parsed, &error)) {
        stw_message(nullptr, error + "\n\n" + kStwUsage, MB_OK | MB_ICONERROR);
        return FALSE;
    }
    // One station per computer: a second window names the first one's
    // report and does not start.
    std::string holder;
    if (StnOwner::held(&holder)) {
        stw_message(nullptr,
                    "A station already runs on this computer" +
                        (holder.empty() ? std::string(".") : ", writing the report\n" + holder) +
                        "\n\nThis window does not start a second one.",
                    MB_OK | MB_ICONWARNING);
        return FALSE;
    }

    // The embedded image, built as the other programs build it.
    unsigned long version = kNoVersion, mcu = 0;
    char product[CLS_prom::kProductLen] = {};
    StnImage image;
    bool image_ok = false;
    if (CLS_prom::prom_read(&hex_, &version, &mcu, product) == 1 && version != kNoVersion) {
        image.edit = &hex_.edit;
        image.version = static_cast<std::uint32_t>(version);
        image.sha256 = stn_sha256_hex(hex_.edit.data, hex_.edit.len);
        image_ok = true;
    }

    dlg_ = new StwDialog(parsed, image, image_ok);
    if (!dlg_->Create(IDD_STATION)) {
        delete dlg_;
        dlg_ = nullptr;
        return FALSE;
    }
    m_pMainWnd = dlg_;
    dlg_->ShowWindow(m_nCmdShow == SW_HIDE ? SW_SHOWNORMAL : m_nCmdShow);
    return TRUE;
}

int StwApp::ExitInstance() {
    const int code = CWinApp::ExitInstance();
    const bool aborted = dlg_ != nullptr && dlg_->aborted();
    if (aborted) {
        // Workers that were let go may still be writing to their devices:
        // they end with the process, as after a second Ctrl+C in qvm_cli.
        ExitProcess(static_cast<UINT>(code));
    }
    delete dlg_;
    dlg_ = nullptr;
    CLS_prom::prom_free_mem(&hex_, CLS_prom::FREE_ALL);
    return code;
}

}  // namespace
