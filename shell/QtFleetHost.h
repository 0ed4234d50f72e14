// QtFleetHost: the window's side of the fleet engine. It makes one QtRunner
// per device the engine starts (boxes modal over the window, the pause a
// timer, the window's time-outs) and runs the engine's next steps from the
// window's event loop. The run indicator belongs to the fleet, not to one
// device: a device's run that ends leaves it alone, and the window enables
// the Download button when the engine says the fleet has ended.
//
//   QtFleetHost host(window);
//   FleetEngine fleet(image, devices, settings, host, observer);
//   fleet.Start(&error);   // the window's event loop carries it on
#pragma once

#include "operations/FleetEngine.h"
#include "operations/Operator.h"
#include "shell/QtRunner.h"

#include <QObject>

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

class QWidget;

namespace mervix {

class QtFleetHost : public QObject, public FleetHost {
 public:
  // Boxes of every device's run are modal over |window|, which must outlive
  // this; the runners live as long as this host, so it must outlive the
  // engine that uses it.
  explicit QtFleetHost(QWidget& window);
  ~QtFleetHost() override;

  // Applied to every runner made from now on (see QtRunner); the pause
  // after the mode switch comes with the fleet's settings.
  void SetResponseLimits(int replyMs, int blockAckMs);
  // Where every device's progress and outcome go; null drops them.
  void SetView(RunView* view) { view_ = view; }
  // Runners made from now on show no box (see QtRunner::SetUnattended):
  // the write was confirmed once for every device.
  void SetUnattended(bool unattended) { unattended_ = unattended; }
  // The bound of a status query's connection and of its reply.
  static constexpr int kProbeLimitMs = 2000;

  // The runner of device |index|; null before the engine started it and
  // once the engine gave back its job.
  QtRunner* Runner(std::size_t index) const;

  // FleetHost.
  RunPort& RunnerFor(std::size_t index, DownloadJob& job) override;
  // The runner goes with its job: it holds the job, and a late signal of
  // its socket must not reach it.
  void Released(std::size_t index) override;
  void Later(std::function<void()> task) override;
  void After(int milliseconds, std::function<void()> task) override;
  // A status query from the window's event loop (QtProbe).
  void Probe(std::size_t index, const FleetDevice& device, std::function<void(const ProbeAnswer&)> done) override;

 private:
  // Boxes go over the window; the end of one device's run enables nothing.
  class DeviceOperator : public Operator {
   public:
    explicit DeviceOperator(QWidget& window) : window_(window) {}
    Answer ShowMessageBox(const std::string& text, ButtonSet buttons) override;
    Answer ShowDetailedMessageBox(const std::string& text, const std::string& detail, ButtonSet buttons) override;
    void SetDownloadEnabled(bool) override {}

   private:
    QWidget& window_;
  };

  QWidget& window_;
  DeviceOperator operator_;
  std::vector<std::unique_ptr<QtRunner>> runners_;
  int replyMs_ = QtRunner::kReplyLimitMs;
  int blockAckMs_ = QtRunner::kBlockAckLimitMs;
  RunView* view_ = nullptr;
  bool unattended_ = false;
};

}  // namespace mervix
