// The station window: counters, who runs the line and for which work
// order, Start and Stop, the sound switch, the report's path, the banner of
// a line that stopped itself, the tile grid and the last results. A
// modeless dialog, the application's main window; it can be resized and
// maximized (not below its designed size), and its size is kept for the
// next start (stw_place.h).
//
// The fields: a barcode scanner types like a keyboard and ends with Enter.
// Enter in Operator moves to Work order; Enter in Work order presses Start
// when it can. The fields are read-only while the station runs; a required
// one (--require-operator, --require-order) keeps Start disabled, with a
// hint, until it is filled. Their values (without blanks around them) and
// the station's name go into every start and unit line.
//
// The halt: when the line stops itself (--halt-after, default 5) a red
// banner across the window says why, with the fail sound (even with the
// sound switch off) and a flash of the task bar button; Start starts a new
// run and takes the banner away.
//
// Report...: the line manager's page of the report shown, made on a thread
// of its own (stw_page.h) while the window goes on, the station too; the
// button is disabled and the status line says so meanwhile. A problem is
// said in a message box, with the page's path when it was written.
//
// Threads: the dialog thread only. The station runs on the thread of its
// StwRun (see stw_run.h), which only posts kStwMsgTurn and kStwMsgEnded
// here; the page is made on the thread of StwPageMaker, which only posts
// kStwMsgPage here; every window is touched from this thread alone.
//
// Stopping: Stop, or a first close of the window, stops taking units and
// lets running updates finish (the window closes after them when it was a
// close). A second request while updates run asks the person; only on Yes
// are they cut short and recorded as interrupted.
//
// The end of the user's session: while units are being written the window
// answers WM_QUERYENDSESSION with FALSE and gives Windows a reason to show
// (set whenever units run, taken back when none does). If the session
// ends anyway (WM_ENDSESSION), running units get a short grace, the rest
// are recorded interrupted before the message returns, and the window
// closes once the run has ended.
#pragma once

#include <afxwin.h>

#include <memory>
#include <string>
#include <vector>

#include "stn_engine.h"
#include "stn_mes.h"
#include "stn_owner.h"
#include "stw_args.h"
#include "stw_grid.h"
#include "stw_image.h"
#include "stw_layout.h"
#include "stw_page.h"
#include "stw_run.h"

// A message box of the station (caption "R846-QVM2K station"); text is
// UTF-8, shown wide, so a report path shows as it is. Blocks in the box's
// own loop on the calling thread. Returns the button that ended it.
int stw_message(HWND owner, const std::string &text, UINT type);

class StwDialog : public CDialog {
public:
    // image: the embedded image, not yet built (outlives the dialog). The
    // dialog has it built once it shows and takes it when it is ready, or
    // at Start; an unusable one disables Start for good.
    StwDialog(const StwArgs &args, StwImageBuild *image);
    ~StwDialog() override;

    // The last run was cut short (its workers may still run): the process
    // should end at once after the window.
    bool aborted() const { return aborted_; }
    // How to show the window first, asked `asked` (the start-up's show
    // command): maximized when it was left so.
    int ShowCommand(int asked) const;

protected:
    BOOL OnInitDialog() override;
    BOOL OnCommand(WPARAM wp, LPARAM lp) override;
    // Enter in the fields (a scanner's end of a code), before the dialog
    // manager would press the default button.
    BOOL PreTranslateMessage(MSG *msg) override;
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;
    void OnOK() override {}      // Enter runs the default button instead
    void OnCancel() override {}  // Escape must not stop a line

private:
    static constexpr int kFieldChars = 64;  // what a field may hold (stn_printable_text)

    // Posted by the run, the image's builder and the page, and the timer;
    // false: not one of them.
    bool OwnMessage(UINT msg, WPARAM wp);
    void Start();
    // A stop request (Stop or close); true when the window may close now.
    bool RequestStop(bool closing);
    void ChangeReport();
    void Refresh(bool force);
    void MakeRecentList();
    void ShowRecent(const StnSnapshot &snap);
    void OnEnded();
    void ShowReport();
    // Report...: starts the page; and its end (kStwMsgPage).
    void MakePage();
    void PageMade();
    // What Report... found, in a box (icon: MB_ICON...).
    void PageBox(const std::string &text, UINT icon);
    bool MakingPage() const { return page_ != nullptr && page_->busy(); }
    // The status line: words, after the page's state while it is made.
    void Status(const std::string &words);
    void SetText(int id, const std::string &text);
    // Enables the buttons for the run's state; move_focus keeps the keyboard
    // off a button that has just been disabled.
    void Buttons(bool move_focus = true);
    void MakeCounterFont();
    // Waits for the image (once) and shows what it means for Start.
    void TakeImage();
    // Units being written now (0 when no run).
    unsigned UnitsRunning();
    // Sets, changes or takes back the reason Windows shows while this
    // window holds up the session's end.
    void BlockReason(unsigned units_busy);
    LRESULT OnQueryEndSession();
    void OnEndSession();
    // The fields' values; a field that must be filled and is not.
    std::string Field(int id);
    int MissingField();
    // Each of who's fields printable and short enough; else says which.
    bool FieldsFit(const StnWho &who);
    void FocusItem(int id);
    // Enter in field id: the next field, or Start.
    void ScanEnter(int id);
    // Resizing: where each control was designed, and where it goes now.
    void KeepDesign();
    void Relayout();
    void ReasonColumn();
    void RestorePlacement();
    void SavePlacement();
    // The banner of a line that stopped itself.
    void MakeBannerFont();
    void ShowHalt(const std::string &text);
    void HideHalt();
    int BannerHeight(int width);
    void DrawBanner(const DRAWITEMSTRUCT &di);
    // The report's deliveries for report_ (to the database, the MES's
    // check-outs to mes; each when one is configured): kept across runs on
    // the same report.
    std::vector<StnDelivery *> Deliveries(const StnMesConfig &mes);
    // The factory's MES, when one is configured (*mes; its URL empty when
    // none): its check-in client in config. false: it cannot be used (said).
    bool TakeMes(StnConfig *config, StnMesConfig *mes);
    StnDelivery *DbDelivery();
    StnDelivery *MesDelivery(const StnMesConfig &mes);
    void ShowDatabase();
    // Both given what is left of one short end time.
    void FinishDeliveries(unsigned ms);

    StwArgs args_;
    StwImageBuild *image_build_;
    bool image_taken_ = false;
    StnImage image_;
    bool image_ok_ = true;  // until the image is taken: Start is offered
    bool chosen_report_ = false;   // the person or --report chose it
    std::string report_;           // UTF-8
    StwGrid grid_;
    std::unique_ptr<StnDelivery> delivery_;      // outlives the runs that use it
    std::unique_ptr<StnDelivery> mes_delivery_;  // the MES's check-outs, the same
    std::string delivery_report_;                // the report they deliver
    std::string mes_problem_;                    // why there is no MES delivery
    // What the runs' engines have flushed of it: deliveries read no further.
    std::shared_ptr<StnFlushed> delivery_flushed_;
    std::unique_ptr<StwRun> run_;  // the running (or last) station
    std::unique_ptr<StnOwner> owner_;
    std::unique_ptr<StwPageMaker> page_;  // made at the first Report...
    std::string status_words_;            // the status line's, without the page's
    bool close_after_ = false;     // close when the run has ended
    bool stop_requested_ = false;  // this run was asked to stop
    bool in_box_ = false;          // the abort question or a page's box is open
    bool notice_of_stop_ = false;  // the notice shown came after the stop request
    bool aborted_ = false;
    unsigned block_shown_ = 0;     // the units the reason given to Windows names; 0: none
    ULONGLONG last_refresh_ = 0;
    std::uint64_t shown_recorded_ = ~0ull;  // list rows drawn for this count
    HFONT counter_font_ = nullptr;
    HFONT banner_font_ = nullptr;
    std::string station_name_;     // --station-name, or the computer's
    std::string halt_text_;        // the banner's words; empty: no banner
    struct Placed {
        int id;
        StwRect designed;          // in the designed client area
        StwAnchor anchor;
    };
    std::vector<Placed> placed_;   // the controls that move when resized
    SIZE designed_client_{};
    SIZE min_track_{};             // the designed window size: the smallest
    bool start_maximized_ = false;
    int fields_locked_ = -1;       // the fields' read-only state set last
};
