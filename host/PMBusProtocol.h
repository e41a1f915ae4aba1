// The host's YD/T 1363.3 frame layer for a device that questions a power
// monitoring unit: command frames out, answer frames in, one answer record
// handed to process_payload() per valid answer.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/SMDSPDevice.h"

namespace smd {
class FrameParser;
struct Frame;
enum class FrameError : int;

// Per-cause counters of the frame layer.
struct FrameStats {
    std::uint64_t commands_sent = 0;
    std::uint64_t answers = 0;          // valid answers handed to process_payload()
    std::uint64_t checksum_errors = 0;  // CHKSUM mismatch
    std::uint64_t length_errors = 0;    // LCHKSUM, LENID or frame size wrong
    std::uint64_t hex_errors = 0;       // a character that is not upper/lower hex
    std::uint64_t overlong = 0;         // no EOI within the longest frame
    std::uint64_t truncated = 0;        // a frame cut off by the next SOI
    std::uint64_t garbage_runs = 0;     // runs of bytes outside any frame
    std::uint64_t resync_bytes = 0;     // bytes dropped while looking for SOI
    std::uint64_t rtn_errors = 0;       // answers with a non-zero RTN
    std::uint64_t wrong_address = 0;    // answers from another address
    std::uint64_t echoes = 0;           // exact echoes of the command just sent
    std::uint64_t stale_answers = 0;    // answers to no command in flight: late, repeated or
                                        // for another block (never handed to the device)
    std::uint64_t timeouts = 0;         // answers that did not come in time
    std::uint64_t cycles = 0;           // poll cycles completed
    std::uint64_t bytes_sent = 0;       // command bytes written to the line
    std::uint64_t bytes_received = 0;   // bytes read from the line, whatever they were
};

}  // namespace smd

class PMBusProtocol : public SMDSPDevice {
  public:
    // INFO of one frame holds at most 4094 hex characters (LENID is 12 bits).
    static constexpr unsigned int kMaxInfoBytes = 2047;
    static constexpr unsigned int kAnswerHeader = 6;

    PMBusProtocol();
    ~PMBusProtocol() override;

    // Reads "address" (0..254, default 1), "protocol_version" (0x20 or 0x21,
    // default: as constructed) and "answer_timeout_ms" (50..60000, default 1000).
    bool InitSetting(const Json::Value& cfg) override;
    void process(unsigned char* buf, unsigned int len) override;

    virtual int process_payload();
    // Reports the frame fault recorded in LastError(); the frame is dropped.
    virtual void process_error();

    // Sends a command frame once the line has been quiet for the guard time
    // (at once when it already is); until then the command is held and the
    // exchange counts as begun. Returns the frame's size, or -1 when the line
    // is closed or the write failed.
    int write_pmbus_cmd(unsigned char cid1, unsigned char cid2);
    int write_pmbus_cmd(unsigned char cid1, unsigned char cid2, const unsigned char* info, int len);

    // Host-side queries of the line thread (not part of the device's table).
    // Milliseconds until a command held back for a quiet line may go out;
    // -1 when none is held.
    std::int64_t HeldCommandWaitMillis() const;
    // Milliseconds before a new poll cycle may begin (0: now, or a cycle is
    // under way): until the last completed cycle's start plus the device's
    // cycle spacing (and one millisecond, so that a whole-second clock has
    // turned too). The line thread does not call RefreshStatus() before then.
    std::int64_t CycleHoldOffMillis() const;
    // Milliseconds during which reading the line is not worth a wake-up: the
    // bytes the device waits for are still on the wire. 0 when unknown.
    std::int64_t ReadWaitMillis() const;
    // The least time between the starts of two poll cycles that the device
    // holds to (0: none, the default); the line thread waits exactly that long.
    void SetCycleSpacingMillis(std::int64_t ms) { cycle_spacing_ms_ = ms; }
    // Silence the line must keep before a command goes out: four character
    // times at the line speed, within 5..50 ms.
    std::int64_t GuardMillis() const;
    // The hold that applies to the held command.
    std::int64_t HoldMillis() const { return held_cid1_ == hold_cid1_ ? hold_ms_ : 0; }
    // How long an answer still owed after a late one may take to follow it:
    // twice the longest recent answer latency (a maximum decaying by 1/16 an
    // answer; at least 50 ms), the answer time-out until one was seen, never
    // more than it.
    std::int64_t TurnaroundMillis() const;
    // Answers that the sends of the last repeated command may still bring.
    std::uint32_t OwedAnswers() const { return owed_; }
    // True from a cycle's first command until it completes or is abandoned.
    bool CycleOpen() const { return cycle_open_; }
    // Steady milliseconds at which the first command that went unanswered
    // since the last answer was sent; 0 while the unit answers.
    std::int64_t UnansweredSinceMillis() const { return unanswered_since_ms_; }

    // Host-side access.
    const smd::FrameStats& Stats() const { return stats_; }
    const std::string& LastError() const { return last_error_; }
    int CommandStep() const { return command_step_; }
    unsigned char Address() const { return address_; }
    unsigned char ProtocolVersion() const { return protocol_version_; }
    // Steady milliseconds at which the current (or last completed) cycle sent its
    // first command, and the one before it; 0 when none.
    std::int64_t CycleStartMillis() const { return cycle_started_ms_; }
    std::int64_t PreviousCycleStartMillis() const { return previous_cycle_started_ms_; }
    // Called after each completed poll cycle (the host marks the device ready first).
    void SetCycleListener(std::function<void()> listener) { cycle_listener_ = std::move(listener); }
    // Called with each answer taken for a command (CID1, CID2 of the command,
    // the frame as received) before the device sees it.
    using AnswerListener = std::function<void(unsigned char cid1, unsigned char cid2,
                                              const std::vector<unsigned char>&)>;
    void SetAnswerListener(AnswerListener listener) { answer_listener_ = std::move(listener); }

  protected:
    // Answer record: version, address, CID1, RTN, LENID (2 bytes, low first), INFO.
    unsigned char* answer_ = nullptr;
    int command_step_ = 0;
    unsigned char protocol_version_ = 0x20;
    unsigned char address_ = 0x01;

  private:
    void OnFrame(const smd::Frame& frame);
    void OnFrameError(smd::FrameError error, std::size_t dropped);
    void Feed(const unsigned char* buf, std::size_t len);
    // Reads what the line already delivered; false when nothing came.
    bool DrainInput();
    // 1 written, 0 still held (line not quiet), -1 failed or nothing to send.
    int TrySend();
    void Stale(const std::string& why);
    // An answer that was still owed (a late one, or a garbled frame) came.
    void NoteOwed(bool owed_kind);
    // Tries to send a held command; true while it is still held.
    bool HoldCommand();
    // The exchange and any held command or partial answer are dropped.
    void AbandonExchange();
    // The port closed: nothing sent on it can be answered on the next one,
    // and what the cycle read so far is no longer ready data.
    void OnClose();

    std::vector<unsigned char> answer_buffer_;
    std::shared_ptr<smd::FrameParser> parser_;
    std::vector<unsigned char> last_command_;
    smd::FrameStats stats_;
    std::string last_error_;
    std::function<void()> cycle_listener_;
    AnswerListener answer_listener_;
    bool cycle_open_ = false;  // a command of the current cycle has gone out
    bool in_feed_ = false;     // frames are being handed out: sending waits until after
    // The command waiting for a quiet line, and what it asks for.
    std::vector<unsigned char> held_;
    unsigned char held_cid1_ = 0;
    unsigned char held_cid2_ = 0;
    std::int64_t held_since_ms_ = 0;
    // The command on the line whose answer is awaited.
    bool awaiting_ = false;
    unsigned char awaited_cid1_ = 0;
    std::int64_t on_line_ms_ = 0;     // when its last byte had left: answers start later
    bool answered_ = true;            // the last command written got its answer
    std::uint32_t sends_ = 0;         // writes of the same command in a row (re-sends + 1)
    bool heard_ = false;              // something of the unit's came since the last send left
    std::uint32_t silent_sends_ = 0;  // sends of that command whose window stayed silent
    std::uint32_t owed_ = 0;          // answers still possibly owed after an accepted one
    std::int64_t latency_ms_ = -1;    // longest recent answer latency (decaying); -1: none yet
    std::int64_t first_send_ms_ = 0;
    std::int64_t rx_ms_ = -(1LL << 40);  // the last bytes received
    std::int64_t hold_ms_ = 0;           // extra silence owed after the answer to a re-sent command
    unsigned char hold_cid1_ = 0;        // the block of that command: only its commands wait
    std::int64_t unanswered_since_ms_ = 0;
    std::int64_t cycle_started_ms_ = 0;
    std::int64_t previous_cycle_started_ms_ = 0;
    std::int64_t cycle_spacing_ms_ = 0;
    // The size of the last answer to each command (CID1, CID2): the next one
    // is most likely as long, so the line thread sleeps until it is all in.
    struct AnswerSize {
        unsigned short command = 0;
        unsigned short bytes = 0;
    };
    std::array<AnswerSize, 16> answer_sizes_{};
    unsigned short awaited_command_ = 0;
    std::size_t ExpectedAnswerBytes() const;
    std::int64_t completed_start_ms_ = 0;          // start of the last completed cycle
    boost::posix_time::ptime cycle_started_wall_;  // local time of cycle_started_ms_
};
