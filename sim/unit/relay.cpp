#include "sim/unit/relay.h"

#include <algorithm>

#include "sim/unit/unit.h"

namespace kl::sim {

Relay::Relay(Scheduler& scheduler, Unit& remote, LineFormat nearFormat, uint64_t seed)
    : scheduler_(scheduler),
      remote_(remote),
      line_(scheduler, nearFormat, nearFormat, seed),
      reader_(scheduler, [this](Frame&& frame) { onFrame(std::move(frame)); }) {
  baud_ = nearFormat.baud;
  reader_.setFormat(nearFormat);
  line_.connect(*this, remote);
}

void Relay::exchange(const std::vector<uint8_t>& bytes, uint64_t timeoutUs,
                     std::function<void(const Frame&)> onReply) {
  const uint64_t generation = generation_;
  const uint64_t id = ++nextRequest_;
  pending_ = std::move(onReply);
  outstanding_.push_back(id);
  line_.nearEnd().send(bytes.data(), bytes.size());
  // The wait for the reply starts once the request has crossed the line, not while it queues
  // behind earlier ones.
  scheduler_.at(line_.nearIdleAtUs() + timeoutUs, [this, generation, id] {
    if (generation != generation_) return;
    auto at = std::find(outstanding_.begin(), outstanding_.end(), id);
    if (at != outstanding_.end()) outstanding_.erase(at);
  });
}

void Relay::setSpeed(uint32_t baud) {
  baud_ = baud;
  LineFormat format{baud, Parity::None};
  line_.nearEnd().setFormat(format);
  reader_.setFormat(format);
}

void Relay::cancel() {
  ++generation_;
  outstanding_.clear();
  pending_ = nullptr;
  reader_.reset();
}

void Relay::onFrame(Frame&& frame) {
  if (!pending_ || outstanding_.empty()) return;
  outstanding_.pop_front();
  pending_(frame);
}

}  // namespace kl::sim
