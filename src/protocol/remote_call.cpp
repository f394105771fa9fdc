#include "protocol/remote_call.h"

#include "transport/link_context.h"
#include "transport/packet_link.h"
#include "wire/frame.h"

namespace kl {

namespace {

constexpr uint32_t kHeaderLength = 4;  // address, function byte, command code

}  // namespace

void SendCallRequest(LinkContext& s, const CallRequest& request) {
  BeginPacket(s);
  PutPacketByte(s, request.address);
  PutPacketByte(s, wire::kFunctionCall);
  PutPacketWord(s, request.command);
  if (request.writeArguments) request.writeArguments(s);
  SendPacket(s, kHeaderLength + request.argumentLength);
}

bool ReadCallEcho(LinkContext& s, const CallRequest& request) {
  const uint8_t address = GetPacketByte(s);
  const uint8_t function = GetPacketByte(s);
  const uint16_t command = GetPacketWord(s);
  return address == request.address && function == wire::kFunctionCall && command == request.command;
}

namespace {

// Reads the whole reply whatever the receive brought, then judges it.
bool ReadReply(LinkContext& s, const CallRequest& request, const ResultReader& readResults) {
  const bool echoed = ReadCallEcho(s, request);
  const bool resultsMatch = readResults ? readResults(s) : true;
  const bool intact = CheckPacketEnd(s);
  return intact && resultsMatch && echoed;
}

}  // namespace

bool CallOnce(LinkContext& s, const CallRequest& request, uint32_t replyLength, const ResultReader& readResults) {
  SendCallRequest(s, request);
  RecvPacket(s, replyLength);
  return ReadReply(s, request, readResults);
}

bool ReceiveCallHead(LinkContext& s, const CallRequest& request, uint32_t headLength) {
  if (!RecvPartialPacket(s, headLength)) return false;
  const uint8_t echo[kHeaderLength] = {request.address, wire::kFunctionCall, static_cast<uint8_t>(request.command >> 8),
                                       static_cast<uint8_t>(request.command)};
  return SlideToReplyStart(s, echo);
}

bool CallOnceInSteps(LinkContext& s, const CallRequest& request, uint32_t headLength, const ResultReader& readResults) {
  SendCallRequest(s, request);
  ReceiveCallHead(s, request, headLength);
  return ReadReply(s, request, readResults);
}

bool ReceiveMore(LinkContext& s, uint32_t length) {
  // A failed step has forgotten the reply; a new receive would wait for a reply that is not
  // coming.
  if (s.packet.replySize == 0) return false;
  return RecvPartialPacket(s, length);
}

bool Repeat(int attempts, const std::function<bool()>& attempt) {
  for (int i = 0; i < attempts; ++i) {
    if (attempt()) return true;
  }
  return false;
}

void LogComplete(LinkContext& s) { s.out(Channel::Debug) << "COMPLETE" << crlf; }

void LogFailed(LinkContext& s) { s.out(Channel::Debug) << "FAILED" << crlf; }

bool LoggedCall(LinkContext& s, std::string_view name, int attempts, const std::function<bool()>& attempt,
                const std::function<void()>& complete) {
  s.out(Channel::Debug) << "RPC: " << name << crlf;
  if (!Repeat(attempts, attempt)) {
    LogFailed(s);
    return false;
  }
  if (complete) {
    complete();
  } else {
    LogComplete(s);
  }
  return true;
}

}  // namespace kl
