// The update channel.
#include "update/update_channel.h"

#include <utility>

UpdateChannel::UpdateChannel(std::vector<std::wstring> forwardedArgs, UniqueKernelHandle readyEvent,
                             UpdatePolicy policy)
    : forwardedArgs_(std::move(forwardedArgs)), readyEvent_(std::move(readyEvent)), policy_(std::move(policy)) {}

void UpdateChannel::PublishHandOver(HandOver handOver) {
  handOver_ = std::move(handOver);
  ready_.exchange(1);
  if (readyEvent_) SetEvent(readyEvent_.get());
}

bool UpdateChannel::FirstNotice(const std::wstring& key) {
  if (key == lastNotice_) return false;
  lastNotice_ = key;
  return true;
}

void UpdateChannel::WithdrawHandOver() {
  ready_.exchange(0);
  busy_.exchange(0);
}
