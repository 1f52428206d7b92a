// The update channel.
#include "update/update_channel.h"

#include <utility>

#include "support/log.h"
#include "support/report.h"

UpdateChannel::UpdateChannel(std::vector<std::wstring> forwardedArgs, UniqueKernelHandle readyEvent,
                             UpdateSettings settings)
    : forwardedArgs_(std::move(forwardedArgs)), readyEvent_(std::move(readyEvent)), settings_(std::move(settings)) {}

UpdatePolicy UpdateChannel::CurrentPolicy() {
  if (!settings_.policy) return {};
  UpdatePolicy policy = ReadUpdatePolicy(settings_.policy);
  for (const std::wstring& warning : policy.warnings) {
    if (FirstTime(L"policy " + warning)) LogLine(LogLevel::kWarn, L"%ls", warning.c_str());
  }
  return policy;
}

unsigned long UpdateChannel::IntervalSeconds(const UpdatePolicy& policy) {
  bool raised = false;
  const unsigned long interval =
      EffectiveUpdateInterval(settings_.intervalSeconds, settings_.intervalGiven, policy, raised);
  if (raised && FirstTime(L"interval raised " + std::to_wstring(interval))) {
    Report(ConsoleLevel::kWarn, L"--update-interval %lu 秒短于策略 UpdateIntervalSeconds=%lu，按策略每 %lu 秒检查",
           LogLevel::kWarn, L"更新间隔 %lu 秒短于策略 UpdateIntervalSeconds=%lu，改为 %lu 秒", settings_.intervalSeconds,
           interval, interval);
  }
  return interval;
}

bool UpdateChannel::FirstTime(const std::wstring& key) {
  std::lock_guard<std::mutex> hold(noticesLock_);
  return notices_.insert(key).second;
}

void UpdateChannel::Forget(const std::wstring& key) {
  std::lock_guard<std::mutex> hold(noticesLock_);
  notices_.erase(key);
}

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
  updateLock_.reset();
  download_.reset();
  ready_.exchange(0);
  busy_.exchange(0);
}

void UpdateChannel::KeepUntilTheEnd(UniqueFile updateLock, std::shared_ptr<UniqueFile> download) {
  updateLock_ = std::move(updateLock);
  download_ = std::move(download);
}
