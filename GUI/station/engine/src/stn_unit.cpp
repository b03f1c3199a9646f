#include "stn_unit.h"

#include <windows.h>

#include <chrono>
#include <cstdio>

#include "stn_text.h"
#include "cmc.h"
#include "cmc_snd.h"
#include "cmc_upd.h"
#include "stn_watch.h"

namespace {

// One device file of our own, closed in one place.
class UnitFile {
public:
    explicit UnitFile(unsigned index) {
        entry_ = SCMC_OPENTBL{};
        entry_.thd_no = index + 1;
        entry_.status = kCmcEntryStatus;
        entry_.open_hdl = CLS_cmc_snd::cmc_create_file(index);
    }
    ~UnitFile() { CLS_cmc_snd::cmc_close_file(&entry_.open_hdl); }
    UnitFile(const UnitFile &) = delete;
    UnitFile &operator=(const UnitFile &) = delete;

    bool open() const { return entry_.open_hdl != INVALID_HANDLE_VALUE; }
    SCMC_OPENTBL *entry() { return &entry_; }

private:
    SCMC_OPENTBL entry_;
};

// Installs a watch on the calling thread for one scope.
class WatchScope {
public:
    explicit WatchScope(StnWatch *w) : on_(w != nullptr) {
        if (on_) CLS_cmc_snd::cmc_watch_thread(w);
    }
    ~WatchScope() {
        if (on_) CLS_cmc_snd::cmc_watch_thread(nullptr);
    }
    WatchScope(const WatchScope &) = delete;
    WatchScope &operator=(const WatchScope &) = delete;

private:
    bool on_;
};

// How one exchange failed, in words and as a kind and detail code.
struct Failure {
    std::string words;  // "refused by the device (error 0xE004)" and its kin
    StnFailure kind = StnFailure::kNoAnswer;
    std::uint32_t detail = 0;
};

Failure exchange_failure(unsigned short r, std::uint32_t end_code, unsigned index,
                         const StnWatch *watch) {
    Failure f;
    f.detail = static_cast<std::uint32_t>(CLS_cmc::cmc_detail_of(r, end_code));
    char buf[96];
    if (watch != nullptr && watch->expired()) {
        const unsigned ms = watch->timeout_ms();
        if (ms % 1000 == 0) {
            std::snprintf(buf, sizeof(buf), "got no answer within %u s", ms / 1000);
        } else {
            std::snprintf(buf, sizeof(buf), "got no answer within %u ms", ms);
        }
        f.words = buf;
        f.kind = StnFailure::kDeadline;
        f.detail = kStnDetailDeadline;
        return f;
    }
    switch (r) {
    case kCmcNoMemory:
        f.words = "could not be sent (out of memory)";
        f.kind = StnFailure::kOther;
        break;
    case kCmcNotOpen:
        f.words = "could not be sent (device not open)";
        break;
    case kCmcDeviceError:
        std::snprintf(buf, sizeof(buf), "refused by the device (error 0x%04X)",
                      static_cast<unsigned>(end_code));
        f.words = buf;
        f.kind = StnFailure::kRefused;
        break;
    default:
        // Gone from its name: pulled out, or its power lost.
        if (stn_device_probe(index) == StnPresence::kAbsent) {
            f.words = "got no valid answer from the device (unplugged or powered off)";
            f.kind = StnFailure::kUnplugged;
        } else {
            f.words = "got no valid answer from the device (a transfer or framing failure)";
        }
        break;
    }
    return f;
}

std::string step_words(const SCMC_UPD_JOB &job) {
    char buf[32];
    switch (job.fail_step) {
    case kCmcStepImage:
        return "image";
    case kCmcStepBegin:
        return "begin";
    case kCmcStepBlock:
        std::snprintf(buf, sizeof(buf), "block at 0x%04X", static_cast<unsigned>(job.fail_addr));
        return buf;
    case kCmcStepEnd:
        return "end";
    default:
        return "update";
    }
}

unsigned short read_version(SCMC_OPENTBL *entry, StnDevice *d) {
    SQVM_CMD_VER info{};
    unsigned long boot = 0;
    const unsigned short r = CLS_cmc::cmc_cmd_ver_get(entry, &info, &boot);
    if (r != kCmcOk) return r;
    d->serial = info.serial_no;
    d->firm_version = info.firm_version;
    d->mcu_version = info.mcu_version;
    d->boot_version = static_cast<std::uint32_t>(boot);
    return kCmcOk;
}

void set_phase(StnProgress *p, int phase) {
    if (p != nullptr) p->phase.store(phase);
}

void publish(StnProgress *p, const StnDevice &d) {
    if (p == nullptr) return;
    p->serial.store(d.serial);
    p->firm_version.store(d.firm_version);
    p->mcu_version.store(d.mcu_version);
    p->identified.store(true, std::memory_order_release);
}

void on_progress(unsigned long dev_no, unsigned long percent, void *obj) {
    auto *p = static_cast<StnProgress *>(obj);
    if (p != nullptr && dev_no == 0) p->percent.store(static_cast<int>(percent));
}

void fail(StnUnitResult *res, const std::string &what, StnFailure kind, std::uint32_t detail) {
    res->outcome = StnOutcome::kFailed;
    res->what = what;
    res->failure = kind;
    res->detail = detail;
}

void fail(StnUnitResult *res, const std::string &step, const Failure &f) {
    fail(res, step + " " + f.words, f.kind, f.detail);
}

// Read: the device's version record. False when the unit failed.
bool read_unit(const StnUnitJob &job, UnitFile &f, StnUnitResult *res) {
    if (!f.open()) {
        fail(res, "cannot be opened (unplugged?)", StnFailure::kUnverified, kStnDetailUnverified);
        return false;
    }
    const unsigned short r = read_version(f.entry(), &res->device);
    if (r != kCmcOk) {
        fail(res, "version read:",
             exchange_failure(r, f.entry()->end_code, job.index, job.watch));
        return false;
    }
    res->identified = true;
    publish(job.progress, res->device);
    return true;
}

// Decide: whether the image is due on the device.
bool due(const StnUnitJob &job, StnUnitResult *res) {
    if (job.force) return true;
    if (CLS_cmc::cmc_ver_cmp(job.image->version, res->device.firm_version) != kCmcVerCurrent) {
        return true;
    }
    res->outcome = StnOutcome::kCurrent;
    res->new_version = res->device.firm_version;
    res->has_new = true;
    return false;
}

// Write: the update sequence. False when the unit failed.
bool write_unit(const StnUnitJob &job, UnitFile &f, StnUnitResult *res) {
    if (job.image->edit == nullptr || job.image->edit->data == nullptr ||
        job.image->edit->len == 0) {
        fail(res, "the image holds no bytes to write", StnFailure::kOther, kStnDetailNoImage);
        return false;
    }
    set_phase(job.progress, kStnPhaseWriting);
    unsigned short old = 0;
    SCMC_UPD_JOB upd{};
    upd.entry = f.entry();
    upd.image = job.image->edit;
    upd.dev_no = job.index + 1;
    upd.cb_progress = on_progress;
    upd.obj = job.progress;
    upd.oldprogre = &old;
    upd.led_done = kCmcLedDoneAlways;
    const unsigned short r = CLS_cmc_upd::cmc_upd_device(&upd);
    if (r == kCmcOk) return true;
    fail(res, step_words(upd),
         exchange_failure(r, f.entry()->end_code, job.index, job.watch));
    return false;
}

// Verify: the device accepted the end, so it committed; its version says
// whether it holds what was written.
void verify_unit(const StnUnitJob &job, UnitFile &f, StnUnitResult *res) {
    set_phase(job.progress, kStnPhaseVerifying);
    StnDevice after = res->device;
    const unsigned short r = read_version(f.entry(), &after);
    if (r != kCmcOk) {
        Failure x = exchange_failure(r, f.entry()->end_code, job.index, job.watch);
        if (x.kind != StnFailure::kDeadline && x.kind != StnFailure::kUnplugged) {
            x.kind = StnFailure::kUnverified;
            x.detail = kStnDetailUnverified;
        }
        fail(res, "version read after the update:", x);
        return;
    }
    res->new_version = after.firm_version;
    res->has_new = true;
    if (after.firm_version != job.image->version) {
        fail(res,
             "the device reports " + stn_version_text(after.firm_version) +
                 " after the update, not " + stn_version_text(job.image->version),
             StnFailure::kUnverified, kStnDetailUnverified);
        return;
    }
    res->outcome = StnOutcome::kUpdated;
}

// Check-in: the MES's say, before anything is written. False when the
// unit is not written (rejected, or waiting for the MES).
bool checked_in(const StnUnitJob &job, StnUnitResult *res) {
    if (job.check_in) {
        set_phase(job.progress, kStnPhaseAsking);
        const StnCheckInAnswer a = job.check_in(res->device);
        if (a.verdict == StnCheckInVerdict::kRejected) {
            res->outcome = StnOutcome::kRejected;
            // The MES is no more trusted than the device.
            res->what = stn_printable_clip(a.reason, 300);
            return false;
        }
        if (a.verdict != StnCheckInVerdict::kAllowed) {
            if (!job.mes_down_allow) {
                fail(res, "not written: the MES does not answer (" +
                              stn_printable_clip(a.reason, 300) + ")",
                     StnFailure::kOther, kStnDetailMesWaiting);
                return false;
            }
            res->mes_unchecked = true;
        }
    }
    if (job.may_write && !job.may_write()) {
        fail(res, "not written: let go while the MES was asked", StnFailure::kOther,
             kStnDetailMesWaiting);
        return false;
    }
    return true;
}

}  // namespace

StnUnitResult stn_interrupted(unsigned index, const StnProgress *p) {
    StnUnitResult r;
    r.device.index = index;
    r.outcome = StnOutcome::kInterrupted;
    if (p != nullptr && p->identified.load(std::memory_order_acquire)) {
        r.identified = true;
        r.device.serial = p->serial.load();
        r.device.firm_version = p->firm_version.load();
        r.device.mcu_version = p->mcu_version.load();
    }
    return r;
}

StnPresence stn_device_probe(unsigned index) {
    SetLastError(0);
    HANDLE h = CLS_cmc_snd::cmc_create_file(index);
    if (h == INVALID_HANDLE_VALUE || h == nullptr) {
        const DWORD e = GetLastError();
        return e == ERROR_SHARING_VIOLATION || e == ERROR_ACCESS_DENIED ? StnPresence::kBusy
                                                                        : StnPresence::kAbsent;
    }
    CLS_cmc_snd::cmc_close_file(&h);
    return StnPresence::kPresent;
}

bool stn_read_device(unsigned index, StnDevice *out, std::string *why, StnWatch *watch,
                     StnFailure *failure) {
    StnUnitJob job;
    job.index = index;
    job.watch = watch;
    WatchScope scope(watch);
    UnitFile f(index);
    StnUnitResult res;
    res.device.index = index;
    const bool ok = read_unit(job, f, &res);
    *out = res.device;
    if (!ok) {
        *why = res.what;
        if (failure != nullptr) *failure = res.failure;
    }
    return ok;
}

StnUnitResult stn_update_unit(const StnUnitJob &job) {
    const auto start = std::chrono::steady_clock::now();
    StnUnitResult res;
    res.device.index = job.index;
    res.outcome = StnOutcome::kFailed;
    set_phase(job.progress, kStnPhaseChecking);
    {
        WatchScope scope(job.watch);
        UnitFile f(job.index);
        if (read_unit(job, f, &res) && due(job, &res) && checked_in(job, &res)) {
            if (job.before_write && !job.before_write(res.device, res.mes_unchecked)) {
                fail(&res, "not written: its start could not be recorded in the report",
                     StnFailure::kOther, kStnDetailNotRecorded);
            } else if (write_unit(job, f, &res)) {
                verify_unit(job, f, &res);
            }
        }
    }
    set_phase(job.progress, kStnPhaseDone);
    res.ms = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - start)
                                            .count());
    return res;
}
