#include "tools/SimProtocol.h"

#include <algorithm>
#include <cstdio>

namespace zubsim {

namespace {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kReady = 0x3E;
constexpr uint8_t kGo = 0x3C;
constexpr uint8_t kAck = 0x21;
constexpr uint8_t kResend = 0x40;
constexpr int kCheckIndex = 0xFFFE;
constexpr int kSplitPauseMs = 50;
// The flash a board reports an unknown size for is still there; 128 KiB covers every image.
constexpr int32_t kDefaultFlash = 128 * 1024;

// Line noise a board may emit while it starts; none of it reads as ready or as a page answer.
constexpr uint8_t kStrayPattern[] = {0x00, 0xFF, 0x0D, 0x0A, 0x55, 0x3F, 0x20, 0x7E};

struct CodeSize {
    uint8_t code;
    int32_t bytes;
};

// Kept apart from the host's tables on purpose: the board is the other side of the wire.
constexpr CodeSize kFlash[] = {{'g', 1024},      {'h', 2 * 1024},   {'i', 4 * 1024},
                               {'l', 8 * 1024},  {'m', 16 * 1024},  {'n', 32 * 1024},
                               {'o', 64 * 1024}, {'p', 128 * 1024}, {'r', 40 * 1024}};
constexpr CodeSize kPage[] = {{'Q', 32}, {'R', 64}, {'S', 128}, {'T', 256}, {'V', 512}};

template <size_t N> int32_t Lookup(const CodeSize (&table)[N], uint8_t code) {
    for (const CodeSize& e : table)
        if (e.code == code)
            return e.bytes;
    return 0;
}

uint8_t Sum(const uint8_t* data, size_t size) {
    unsigned s = 0;
    for (size_t i = 0; i < size; ++i)
        s += data[i];
    return static_cast<uint8_t>(s);
}

} // namespace

int32_t BoardFlashBytes(uint8_t code) {
    return Lookup(kFlash, code);
}
int32_t BoardPageBytes(uint8_t code) {
    return Lookup(kPage, code);
}

std::string HexBytes(const uint8_t* data, size_t size) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(b, sizeof b, "%02X", data[i]);
        if (i)
            s += ' ';
        s += b;
    }
    return s;
}

BoardProtocol::BoardProtocol(const BoardConfig& config, BoardSink& sink)
    : config_(config), sink_(sink) {
    int32_t flash = BoardFlashBytes(config_.id[1]);
    flash_.assign(static_cast<size_t>(flash > 0 ? flash : kDefaultFlash), 0xFF);
    pageSize_ = BoardPageBytes(config_.id[3]);
}

void BoardProtocol::Feed(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i)
        Feed(data[i]);
}

void BoardProtocol::Feed(uint8_t byte) {
    pending_.push_back(byte);
    if (state_ == State::Pages)
        ScanPages();
    else
        ScanIdle();
}

void BoardProtocol::Reset() {
    pending_.clear();
    state_ = State::WaitWake;
}

void BoardProtocol::Answer(uint8_t byte, int delayMs) {
    sink_.Reply(&byte, 1, delayMs);
}

void BoardProtocol::LogFrame(const char* tag, size_t size) {
    sink_.Event(std::string(tag) + " " + HexBytes(pending_.data(), size));
}

// Waiting for the wake word (and, once ready was sent, for the go byte): anything that is not a
// complete wake word, go byte or well-formed 0x02 frame is skipped one byte at a time, so a
// stray 0x02 cannot swallow a wake word for good.
BoardProtocol::Match BoardProtocol::MatchIdle() const {
    const size_t n = pending_.size();
    const uint8_t b0 = pending_[0];
    if (b0 == 'Z') {
        if (n >= 2 && pending_[1] != 'U')
            return Match::NoMatch;
        if (n >= 3 && pending_[2] != 'B')
            return Match::NoMatch;
        return n < 3 ? Match::NeedMore : Match::Wake;
    }
    if (b0 == kGo)
        return state_ == State::WaitGo ? Match::Go : Match::NoMatch;
    if (b0 != kStx)
        return Match::NoMatch;
    // The wake word outranks an unfinished frame: a board listens for it above all.
    for (size_t i = 1; i + 3 <= n; ++i)
        if (pending_[i] == 'Z' && pending_[i + 1] == 'U' && pending_[i + 2] == 'B')
            return Match::NoMatch;
    if (n < 2 || (pending_[1] == 0x03 && n < 3))
        return Match::NeedMore;
    const bool mode = pending_[1] == 0x03 && pending_[2] == 0xFE;
    const size_t len = mode ? 7 : 6;
    if (n < len)
        return Match::NeedMore;
    if (pending_[len - 1] != kEtx || pending_[len - 2] != Sum(pending_.data(), len - 2))
        return Match::NoMatch;
    return mode ? Match::ModeSwitch : Match::Command;
}

void BoardProtocol::ScanIdle() {
    while (!pending_.empty() && state_ != State::Pages) {
        size_t used = 1;
        switch (MatchIdle()) {
        case Match::NeedMore:
            return;
        case Match::NoMatch:
            break;
        case Match::Wake:
            used = 3;
            TakeWake();
            break;
        case Match::Go:
            TakeGo();
            break;
        case Match::Command:
            used = 6;
            LogFrame("RESET", used);
            break;
        case Match::ModeSwitch:
            used = 7;
            LogFrame("MODE", used);
            break;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
    }
    if (state_ == State::Pages && !pending_.empty())
        ScanPages();
}

void BoardProtocol::TakeWake() {
    sink_.Event("WAKE");
    if (config_.freshEachSession)
        std::fill(flash_.begin(), flash_.end(), 0xFF);
    if (config_.noReady)
        return;
    std::vector<uint8_t> reply;
    for (int i = 0; i < config_.stray; ++i)
        reply.push_back(kStrayPattern[static_cast<size_t>(i) % sizeof kStrayPattern]);
    reply.push_back(kReady);
    sink_.Reply(reply.data(), reply.size(), 0);
    sink_.Event("READY");
    state_ = State::WaitGo;
}

void BoardProtocol::TakeGo() {
    sink_.Event("GO");
    resendsGiven_ = 0;
    badSumGiven_ = false;
    if (config_.splitId) {
        sink_.Reply(config_.id.data(), 3, 0);
        sink_.Reply(config_.id.data() + 3, 2, kSplitPauseMs);
    } else {
        sink_.Reply(config_.id.data(), 5, 0);
    }
    sink_.Event("ID " + HexBytes(config_.id.data(), 5));
    state_ = State::Pages;
}

// Page frames follow back to back; 0xFF 0xFF where a frame would start is the end frame. A board
// that reported no usable page size can take no page frame: it only listens for the end frame and
// for a new wake word.
void BoardProtocol::ScanPages() {
    while (state_ == State::Pages && !pending_.empty()) {
        if (pending_[0] == 0xFF) {
            if (pending_.size() < 2)
                return;
            if (pending_[1] == 0xFF) {
                pending_.erase(pending_.begin(), pending_.begin() + 2);
                TakeEnd();
                continue;
            }
        }
        if (pageSize_ <= 0) {
            if (pending_[0] == 'Z') {
                if (pending_.size() < 3)
                    return;
                if (pending_[1] == 'U' && pending_[2] == 'B') {
                    pending_.erase(pending_.begin(), pending_.begin() + 3);
                    state_ = State::WaitWake;
                    TakeWake();
                    continue;
                }
            }
            pending_.erase(pending_.begin());
            continue;
        }
        if (pending_.size() < static_cast<size_t>(pageSize_) + 3)
            return;
        TakePage();
        pending_.erase(pending_.begin(), pending_.begin() + pageSize_ + 3);
    }
    if (state_ != State::Pages && !pending_.empty())
        ScanIdle();
}

void BoardProtocol::TakePage() {
    const int index = pending_[0] << 8 | pending_[1];
    const uint8_t* data = pending_.data() + 2;
    const size_t size = static_cast<size_t>(pageSize_);
    const std::string tag = "PAGE " + std::to_string(index) + " ";
    if (index == config_.silentPage) {
        sink_.Event(tag + "SILENT");
        return;
    }
    const bool injectBad = index == config_.badSumPage && !badSumGiven_;
    if (injectBad || Sum(data, size) != pending_[2 + size]) {
        if (injectBad)
            badSumGiven_ = true;
        sink_.Event(tag + "BADSUM");
        Answer(kResend, 0);
        return;
    }
    // The check request: this board has no answer for it but the one for a page it cannot
    // take, which tells the host it cannot verify.
    if (index == kCheckIndex) {
        sink_.Event(tag + "RESEND");
        Answer(kResend, 0);
        return;
    }
    if (index == config_.resendPage && resendsGiven_ < config_.resendTimes) {
        ++resendsGiven_;
        sink_.Event(tag + "RESEND");
        Answer(kResend, 0);
        return;
    }
    // Data past the end of this part's flash has nowhere to go; the board still accepts it.
    const size_t at = static_cast<size_t>(index) * size;
    if (at < flash_.size())
        std::copy(data, data + std::min(size, flash_.size() - at),
                  flash_.begin() + static_cast<std::ptrdiff_t>(at));
    sink_.Event(tag + "OK");
    Answer(kAck, config_.pageWriteMs);
}

void BoardProtocol::TakeEnd() {
    ++sessions_;
    state_ = State::WaitWake;
    sink_.SessionEnded(sessions_);
    sink_.Event("END " + std::to_string(sessions_));
}

} // namespace zubsim
