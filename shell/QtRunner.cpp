#include "shell/QtRunner.h"

#include "shell/ModalSeam.h"

#include <QMetaObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <cstdio>

namespace mervix {

QtRunner::QtRunner(QWidget& window, Operator& op, DownloadJob& job)
    : window_(window), op_(op), job_(job), pauseTimer_(new QTimer(this)), responseTimer_(new QTimer(this)) {
  clock_.start();
  pauseTimer_->setSingleShot(true);
  pauseTimer_->setTimerType(Qt::PreciseTimer);
  connect(pauseTimer_, &QTimer::timeout, this, [this] { job_.OnPauseElapsed(); });
  responseTimer_->setSingleShot(true);
  connect(responseTimer_, &QTimer::timeout, this, [this] {
    char reason[96];
    std::snprintf(reason, sizeof reason, "no response from the device within %g seconds", waitLimitMs_ / 1000.0);
    job_.OnTimedOut(reason);
  });
}

QtRunner::~QtRunner() {
  if (socket_) socket_->Close();  // deleted with this object, its parent
}

void QtRunner::SetResponseLimits(int replyMs, int blockAckMs) {
  replyLimitMs_ = replyMs;
  blockAckLimitMs_ = blockAckMs;
}

bool QtRunner::Pausing() const { return pauseTimer_->isActive(); }

void QtRunner::AwaitResponse(ResponseWait wait) {
  waitLimitMs_ = wait == ResponseWait::BlockAck ? blockAckLimitMs_ : replyLimitMs_;
  Touch();
}

void QtRunner::Touch() {
  if (waitLimitMs_ <= 0) {
    responseTimer_->stop();
    return;
  }
  responseTimer_->start(waitLimitMs_);
}

void QtRunner::StopWatching() {
  waitLimitMs_ = 0;
  responseTimer_->stop();
}

void QtRunner::SetSocketLimits(int connectMs, int sendStallMs) {
  connectLimitMs_ = connectMs;
  sendStallLimitMs_ = sendStallMs;
}

void QtRunner::Later(std::function<void()> step) {
  const std::uint64_t run = run_;
  QMetaObject::invokeMethod(
      this,
      [this, run, step = std::move(step)] {
        if (run == run_) step();
      },
      Qt::QueuedConnection);
}

void QtRunner::DropSocket(bool drain) {
  if (!socket_) return;
  CClntSocket* socket = socket_;
  socket_ = nullptr;
  if (drain) {
    socket->Drain();
  } else {
    socket->Close();
  }
  // This may run inside one of the socket's own notifications.
  socket->deleteLater();
}

void QtRunner::Connect(const std::string& host, std::uint16_t port) {
  DropSocket(false);
  device_ = host + ":" + std::to_string(port);
  socket_ = new CClntSocket(*this, this);
  socket_->SetLimits(connectLimitMs_, sendStallLimitMs_);
  socket_->Connect(host, port);
}

void QtRunner::Send(const std::uint8_t* data, std::size_t size) {
  if (!socket_) {
    job_.OnSendFailed("no connection is open");
    return;
  }
  socket_->Send(data, size);
}

void QtRunner::Close(bool drain) {
  StopWatching();
  DropSocket(drain);
}

void QtRunner::Pause(int milliseconds) {
  StopWatching();
  // A timer on the event loop: the window repaints meanwhile, and a stop
  // ends the run (and the pause with it) at once.
  pauseTimer_->start(pauseOverrideMs_ >= 0 ? pauseOverrideMs_ : milliseconds);
}

Answer QtRunner::ShowRunBox(const std::string& text, const std::string& detail, ButtonSet buttons) {
  QPointer<QtRunner> self(this);
  ++boxesOpen_;
  const Answer answer = ShowMessageBoxOver(&window_, text, detail, buttons);
  if (!self.isNull()) --boxesOpen_;
  return answer;
}

void QtRunner::Ask(Question question, const std::string& text, const std::string& detail, ButtonSet buttons) {
  // The operator's think time is not the device's silence.
  StopWatching();
  if (unattended_) {
    const Answer answer = question == Question::Confirm ? Answer::Ok
                          : buttons == ButtonSet::YesNo  ? Answer::No
                                                         : Answer::Cancel;
    Later([this, answer] { job_.OnAnswered(answer); });
    return;
  }
  Later([this, text, detail, buttons] {
    QPointer<QtRunner> self(this);
    const std::uint64_t run = run_;
    const Answer answer = ShowRunBox(text, detail, buttons);
    // The window may have closed while the box was up, ending the run.
    if (self.isNull() || run != run_) return;
    job_.OnAnswered(answer);
  });
}

bool QtRunner::ShowMessage(std::uint16_t /*messageId*/, const std::string& text, const std::string& detail) {
  if (unattended_) return true;
  Later([this, text, detail] {
    QPointer<QtRunner> self(this);
    const std::uint64_t run = run_;
    ShowRunBox(text, detail, ButtonSet::Ok);
    if (self.isNull() || run != run_) return;
    job_.BoxClosed();
  });
  return false;
}

void QtRunner::ReportProgress(const Progress& progress) {
  meter_.Update(progress, clock_.elapsed());
  if (view_) view_->ShowRunProgress(meter_, device_);
}

void QtRunner::RunEnded(RunOutcome outcome, const Failure& failure) {
  ++run_;
  ++runsEnded_;
  lastOutcome_ = outcome;
  pauseTimer_->stop();
  StopWatching();
  DropSocket(false);  // the run has closed it already; nothing may outlive the run
  if (view_) view_->ShowRunOutcome(outcome, failure);
  op_.SetDownloadEnabled(true);
}

void QtRunner::OnSocketConnected() { job_.OnConnected(); }

void QtRunner::OnSocketConnectFailed(const std::string& reason, bool noSocket) {
  // The attempt is over; the run asks "Retry?" and connects anew.
  DropSocket(false);
  job_.OnConnectFailed(reason, noSocket);
}

void QtRunner::OnSocketReceive(const std::uint8_t* data, std::size_t size) {
  if (responseTimer_->isActive()) Touch();
  job_.OnReceived(data, size);
}

void QtRunner::OnSocketSent() {
  if (responseTimer_->isActive()) Touch();
  job_.OnSent();
}

void QtRunner::OnSocketClosed() { job_.OnPeerClosed(); }

void QtRunner::OnSocketSendFailed(const std::string& reason) { job_.OnSendFailed(reason); }

}  // namespace mervix
