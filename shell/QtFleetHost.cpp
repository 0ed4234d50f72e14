#include "shell/QtFleetHost.h"

#include "shell/ModalSeam.h"
#include "shell/QtProbe.h"

#include <QMetaObject>
#include <QTimer>

namespace mervix {

Answer QtFleetHost::DeviceOperator::ShowMessageBox(const std::string& text, ButtonSet buttons) {
  return ShowMessageBoxOver(&window_, text, buttons);
}

Answer QtFleetHost::DeviceOperator::ShowDetailedMessageBox(const std::string& text, const std::string& detail,
                                                           ButtonSet buttons) {
  return ShowMessageBoxOver(&window_, text, detail, buttons);
}

QtFleetHost::QtFleetHost(QWidget& window) : window_(window), operator_(window) {}

QtFleetHost::~QtFleetHost() = default;

void QtFleetHost::SetResponseLimits(int replyMs, int blockAckMs) {
  replyMs_ = replyMs;
  blockAckMs_ = blockAckMs;
}

QtRunner* QtFleetHost::Runner(std::size_t index) const {
  return index < runners_.size() ? runners_[index].get() : nullptr;
}

RunPort& QtFleetHost::RunnerFor(std::size_t index, DownloadJob& job) {
  if (runners_.size() <= index) runners_.resize(index + 1);
  auto runner = std::make_unique<QtRunner>(window_, operator_, job);
  runner->SetResponseLimits(replyMs_, blockAckMs_);
  runner->SetView(view_);
  runner->SetUnattended(unattended_);
  runners_[index] = std::move(runner);
  return *runners_[index];
}

void QtFleetHost::Released(std::size_t index) {
  if (index < runners_.size()) runners_[index].reset();
}

void QtFleetHost::Later(std::function<void()> task) {
  QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

void QtFleetHost::Probe(std::size_t, const FleetDevice& device, std::function<void(const ProbeAnswer&)> done) {
  ProbeDeviceOnQt(this, device.host, device.port, kProbeLimitMs, kProbeLimitMs, std::move(done));
}

void QtFleetHost::After(int milliseconds, std::function<void()> task) {
  QTimer::singleShot(milliseconds, this, std::move(task));
}

}  // namespace mervix
