#include "stw_run.h"

#include <cstdio>

#include "qvm_version.h"
#include "stw_text.h"

namespace {

// Posts at most this often after turns: every redraw also loads the Wine
// server that carries the devices' traffic.
constexpr ULONGLONG kPostEveryMs = 200;

}  // namespace

// The engine's host: on the station thread; queues and posts only.
class StwRun::Host : public StnHost {
public:
    explicit Host(StwRun *run) : run_(run) {}
    std::string utc_now() override { return stn_utc_now(); }
    std::string utc_offset() override { return stn_utc_offset(); }
    void on_result(const StnUnitResult &r, bool recorded) override {
        const StwCue cue = stw_result_cue(r.outcome, recorded);
        if (cue == StwCue::kNone) return;
        run_->queue(StwEvent{cue == StwCue::kPass ? StwEvent::kPass : StwEvent::kFail,
                             std::string()});
    }
    void on_notice(const std::string &text) override {
        run_->queue(StwEvent{StwEvent::kNotice, text});
    }
    // Said by the dialog, in the local time it shows elsewhere.
    void on_mes(const StnMesState &m) override {
        StwEvent e(StwEvent::kMes, std::string());
        e.mes = m;
        run_->queue(std::move(e));
    }
    void on_halt(const StnHalt &h) override {
        run_->queue(StwEvent{StwEvent::kHalt, stn_halt_text(h)});
    }
    void on_turn() override {
        for (StnDelivery *d : run_->deliveries_) d->wake();
    }
    bool may_take_units() override {
        for (StnDelivery *d : run_->deliveries_) {
            if (!d->may_take_units()) return false;
        }
        return true;
    }

private:
    StwRun *run_;
};

StwRun::StwRun(HWND notify) : notify_(notify) {}

StwRun::~StwRun() {
    if (thread_ != nullptr) {
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
}

bool StwRun::start(const StnConfig &config, const std::string &report, std::string *why,
                   const std::vector<StnDelivery *> &deliveries) {
    if (thread_ != nullptr) {
        *why = "the station already runs";
        return false;
    }
    store_.reset(new StnWinReportStore(report));
    if (!store_->ok()) {
        const DWORD e = GetLastError();
        store_.reset();
        *why = "the report cannot be opened (error " + std::to_string(e) + ")";
        return false;
    }
    config_ = config;
    deliveries_ = deliveries;
    if (config_.who.station.empty()) config_.who.station = stn_computer_name();
    config_.version = QVM_VERSION_TEXT;
    thread_ = CreateThread(nullptr, 0, &StwRun::thread_main, this, 0, nullptr);
    if (thread_ == nullptr) {
        store_.reset();
        *why = "no thread for the station";
        return false;
    }
    return true;
}

DWORD WINAPI StwRun::thread_main(LPVOID self) {
    static_cast<StwRun *>(self)->run();
    return 0;
}

void StwRun::run() {
    Host host(this);
    {
        StnEngine engine(config_, store_, &host);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            engine_ = &engine;
        }
        const StnOpen opened = engine.open();
        if (opened == StnOpen::kOk) {
            post_turn(true);
            while (engine.turn()) post_turn(false);
        } else {
            queue(StwEvent{StwEvent::kNotice,
                           std::string("The report ") + stn_open_text(opened) + "."});
        }
        StnSnapshot last = engine.snapshot();
        std::lock_guard<std::mutex> lock(mutex_);
        final_ = std::move(last);
        engine_ = nullptr;
    }
    session_.done();
    PostMessageA(notify_, kStwMsgEnded, 0, 0);
}

void StwRun::post_turn(bool force) {
    const ULONGLONG now = GetTickCount64();
    if (post_pending_.load()) return;
    if (!force && now - last_post_ms_.load() < kPostEveryMs) return;
    post_pending_.store(true);
    last_post_ms_.store(now);
    PostMessageA(notify_, kStwMsgTurn, 0, 0);
}

void StwRun::queue(StwEvent e) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(e));
    }
    post_turn(true);
}

void StwRun::request_stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (engine_ != nullptr) engine_->request_stop();
}

void StwRun::request_abort() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (engine_ != nullptr) {
        engine_->request_abort();
        aborted_ = true;
    }
}

StnSessionEnd::Outcome StwRun::end_session() {
    if (thread_ == nullptr) return StnSessionEnd::kFinished;
    return session_.end([this] { request_stop(); }, [this] { request_abort(); });
}

StnSnapshot StwRun::snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    return engine_ != nullptr ? engine_->snapshot() : final_;
}

std::vector<StwEvent> StwRun::take_events() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<StwEvent> out;
    out.swap(events_);
    return out;
}

void StwRun::join() {
    if (thread_ == nullptr) return;
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
    store_.reset();
}
