// qvm_station.exe: the application object. Reads the wide command line,
// refuses to start beside a running station and opens the station window
// (which has the embedded image built once it shows) as the main window.
//
// Threads: the user-interface thread (the dialog's); the image is built on
// a thread of its own (stw_image.h); the station thread is the dialog's own
// (stw_run.h).
#include <afxwin.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "stn_owner.h"
#include "stn_store_win.h"
#include "stw_args.h"
#include "stw_dlg.h"
#include "stw_image.h"
#include "stw_resource.h"
#include "stw_text.h"

namespace {

class StwApp : public CWinApp {
public:
    StwApp() : CWinApp("R846-QVM2K station") {}
    BOOL InitInstance() override;
    int ExitInstance() override;

private:
    StwImageBuild image_;
    StwDialog *dlg_ = nullptr;
};

StwApp the_app;

BOOL StwApp::InitInstance() {
    // The CRT's wide arguments (the entry is wWinMain): no shell32 to load,
    // which alone costs about 30 ms of start-up.
    std::vector<std::string> args;
    for (int i = 1; __wargv != nullptr && i < __argc; ++i) args.push_back(stn_utf8(__wargv[i]));
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
        stw_message(nullptr, stw_station_runs_text(holder), MB_OK | MB_ICONWARNING);
        return FALSE;
    }

    dlg_ = new StwDialog(parsed, &image_);
    if (!dlg_->Create(IDD_STATION)) {
        delete dlg_;
        dlg_ = nullptr;
        return FALSE;
    }
    m_pMainWnd = dlg_;
    dlg_->ShowWindow(dlg_->ShowCommand(m_nCmdShow == SW_HIDE ? SW_SHOWNORMAL : m_nCmdShow));
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
    return code;
}

}  // namespace

// The wide entry (linked with -municode), so that the CRT parses the wide
// command line into __wargv.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE prev, LPWSTR, int cmd_show) {
    return AfxWinMain(instance, prev, GetCommandLineA(), cmd_show);
}
