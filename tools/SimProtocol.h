// The boot loader's side of the serial protocol, as a board plays it: a byte-fed state machine
// with no I/O of its own. The runner (SimRunner) feeds it what the host wrote and delivers what it
// answers, so the same core serves the pty simulator and any in-process test.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zubsim {

// What the simulated board is and which faults it plays. Page numbers are the wire page index.
struct BoardConfig {
    std::array<uint8_t, 5> id{{0x44, 0x70, 0x64, 0x54, 0x34}}; // Mega128 p d T 4
    int resendPage = -1;                                       // answer "@" to this page ...
    int resendTimes = 0;                                       // ... this many times per session
    int silentPage = -1;                                       // never answer this page
    int badSumPage = -1;           // the first copy of this page counts as a bad sum, per session
    bool noReady = false;          // never answer the wake word
    bool splitId = false;          // identification as 3 bytes, 50 ms pause, 2 bytes
    int stray = 0;                 // stray bytes sent right before every ready
    int pageWriteMs = 0;           // flash-write time before a page is acknowledged
    bool freshEachSession = false; // forget the flash at every wake word
};

// Where the board's reactions go.
class BoardSink {
public:
    virtual ~BoardSink() = default;
    // Bytes for the host, to leave no earlier than delayMs after the byte that caused them.
    virtual void Reply(const uint8_t* data, size_t size, int delayMs) = 0;
    // One line of the event record, without line end.
    virtual void Event(const std::string& line) = 0;
    // An end frame was taken; Flash() holds everything received so far. Called before the
    // "END" event, so whoever waits for that line finds the flash already saved.
    virtual void SessionEnded(int session) = 0;
};

// The board's own reading of its identification: flash bytes (0 for an unknown code) and page
// bytes (0 for an unknown code, "U" included).
int32_t BoardFlashBytes(uint8_t code);
int32_t BoardPageBytes(uint8_t code);

class BoardProtocol {
public:
    BoardProtocol(const BoardConfig& config, BoardSink& sink);

    void Feed(uint8_t byte);
    void Feed(const uint8_t* data, size_t size);
    // The host closed the port: partial frames are dropped and the board waits for the wake
    // word again. The flash is kept.
    void Reset();

    const std::vector<uint8_t>& Flash() const { return flash_; }
    int32_t PageSize() const { return pageSize_; }
    int Sessions() const { return sessions_; }

    enum class State { WaitWake, WaitGo, Pages };
    State CurrentState() const { return state_; }

private:
    enum class Match { NeedMore, NoMatch, Wake, Go, Command, ModeSwitch };
    Match MatchIdle() const;
    void ScanIdle();
    void ScanPages();
    void TakeWake();
    void TakeGo();
    void TakePage();
    void TakeEnd();
    void Answer(uint8_t byte, int delayMs);
    void LogFrame(const char* tag, size_t size);

    BoardConfig config_;
    BoardSink& sink_;
    State state_ = State::WaitWake;
    std::vector<uint8_t> pending_; // bytes of a frame not yet complete
    std::vector<uint8_t> flash_;
    int32_t pageSize_ = 0;
    int sessions_ = 0;
    int resendsGiven_ = 0;
    bool badSumGiven_ = false;
};

std::string HexBytes(const uint8_t* data, size_t size); // "02 30 01", upper case

} // namespace zubsim
