// The standard exchange every remote procedure call uses: address, function byte 45,
// 16-bit command code, arguments; the reply echoes the first four bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace kl {

struct LinkContext;

// One call's request: written by `writeArguments` after the four header bytes.
struct CallRequest {
  uint8_t address = 0;
  uint16_t command = 0;
  // Writes the arguments with PutPacketByte/PutPacketWord/PutPacketLong; may be empty.
  std::function<void(LinkContext&)> writeArguments;
  // Number of argument bytes written by writeArguments.
  uint32_t argumentLength = 0;
};

// Reads the results of one attempt with GetPacketByte; false when an echoed argument differs.
using ResultReader = std::function<bool(LinkContext&)>;

// One attempt of the standard exchange. `replyLength` counts the reply bytes after framing
// (echo included). `readResults` reads every result byte with GetPacketByte (it runs also
// when the receive failed, reading zeros) and returns false when an argument echo differs.
// True only when CheckPacketEnd holds and address, function byte and command are echoed.
bool CallOnce(LinkContext& s, const CallRequest& request, uint32_t replyLength, const ResultReader& readResults = {});

// The same for a reply whose length is announced inside it: only the first `headLength`
// bytes (echo included) are received before `readResults` runs; it reads the head and fetches
// the rest with ReceiveMore.
bool CallOnceInSteps(LinkContext& s, const CallRequest& request, uint32_t headLength, const ResultReader& readResults);
// The next `length` bytes of a reply read in steps; nothing is waited for once an earlier
// step of the same reply has failed (the reads then yield zeros).
bool ReceiveMore(LinkContext& s, uint32_t length);

// The first `headLength` bytes (echo included) of a reply read in steps, past any stray
// bytes in front of its echo; false when no reply starting with the echo arrived.
bool ReceiveCallHead(LinkContext& s, const CallRequest& request, uint32_t headLength);

// The pieces of an attempt, for a call that must stop part-way through a reply: sending the
// request, and reading the four-byte echo (true when it matches the request).
void SendCallRequest(LinkContext& s, const CallRequest& request);
bool ReadCallEcho(LinkContext& s, const CallRequest& request);

// Up to `attempts` identical attempts, one straight after the other; true at the first that
// succeeds. An identical retry can be answered from a reply the packet layer found by
// resynchronising.
bool Repeat(int attempts, const std::function<bool()>& attempt);

// The usual shape of a call: "RPC: " and its name on Debug, then up to `attempts` attempts;
// on success `complete` writes the result line ("COMPLETE" when not given), after the last
// failure "FAILED" is written.
bool LoggedCall(LinkContext& s, std::string_view name, int attempts, const std::function<bool()>& attempt,
                const std::function<void()>& complete = {});

// "COMPLETE" and "FAILED" on Debug.
void LogComplete(LinkContext& s);
void LogFailed(LinkContext& s);

}  // namespace kl
