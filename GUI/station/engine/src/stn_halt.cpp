#include "stn_halt.h"

#include "stn_json.h"
#include "stn_text.h"

bool StnHaltRule::owned_failure(const StnUnitResult &r) {
    if (r.outcome != StnOutcome::kFailed || r.detail == kStnDetailNotRecorded) return false;
    switch (r.failure) {
    case StnFailure::kRefused:
    case StnFailure::kNoAnswer:
    case StnFailure::kDeadline:
    case StnFailure::kUnverified:
    case StnFailure::kOther:
        return true;
    default:
        return false;
    }
}

bool StnHaltRule::neutral(const StnUnitResult &r) {
    // The MES's refusal says nothing of the station or its fixture.
    return r.outcome == StnOutcome::kInterrupted || r.outcome == StnOutcome::kRejected ||
           (r.outcome == StnOutcome::kFailed &&
            (r.failure == StnFailure::kUnplugged || r.detail == kStnDetailNotRecorded));
}

bool StnHaltRule::feed(const StnUnitResult &r, StnHalt *halt) {
    if (after_ == 0 || neutral(r)) return false;
    std::vector<StnUnitResult> &slot = slots_[r.device.index];
    if (!owned_failure(r)) {
        run_.clear();
        slot.clear();
        return false;
    }
    run_.push_back(r);
    slot.push_back(r);
    const bool line = run_.size() >= after_;
    if (!line && slot.size() < after_) return false;
    StnHalt h;
    h.count = after_;
    // One slot's run says more than the line's when both stop it.
    h.per_slot = !line || slot.size() >= after_;
    h.index = r.device.index;
    const std::vector<StnUnitResult> &why = h.per_slot ? slot : run_;
    h.failures.assign(why.end() - after_, why.end());
    if (halt != nullptr) *halt = h;
    reset();
    return true;
}

void StnHaltRule::reset() {
    run_.clear();
    slots_.clear();
}

std::string stn_halt_text(const StnHalt &h, const char *start_words) {
    std::string s = "Line stopped: " + std::to_string(h.count) + " units in a row failed";
    if (h.per_slot) s += " on device " + std::to_string(h.index);
    if (!h.failures.empty()) {
        const StnUnitResult &last = h.failures.back();
        s += " (last: ";
        if (!h.per_slot) s += "device " + std::to_string(last.device.index) + ", ";
        s += last.identified ? "serial " + std::to_string(last.device.serial) : "serial unknown";
        s += ", " + last.what + ")";
    }
    return s + ". Check the fixture, the cables and the units, then " + start_words + ".";
}

std::string stn_json_halt(const StnHalt &h, const std::string &utc_now,
                          const std::string &order) {
    std::string failures;
    for (const StnUnitResult &r : h.failures) {
        StnJson f("failure");
        f.num("index", r.device.index);
        if (r.identified) {
            f.num("serial", r.device.serial);
        } else {
            f.null("serial");
        }
        f.str("failure", stn_failure_name(r.failure)).num("detail", r.detail);
        // An element of the array, not a line: without its "type".
        std::string text = f.line();
        text = "{" + text.substr(text.find(',') + 1);
        failures += (failures.empty() ? "" : ",") + text;
    }
    StnJson j("halt");
    j.str("time", utc_now).num("count", h.count);
    if (h.per_slot) {
        j.num("index", h.index);
    } else {
        j.null("index");
    }
    return j.raw("failures", "[" + failures + "]").str("order", order).line();
}
