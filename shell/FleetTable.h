// The table of the "Several devices" window: one row per device (name,
// host:port, phase, progress, rate, outcome), and the tiles of a station's
// slots. Rows change often while many devices run; the model collects the
// changed rows and tells the view once per refresh (Flush), so 200 devices
// cost the window a few repaints a second, not one per block.
#pragma once

#include <QAbstractTableModel>
#include <QFrame>
#include <QStyledItemDelegate>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

class QLabel;
class QProgressBar;

namespace mervix {

struct FleetRow {
  enum class Tone { Neutral, Good, Bad };
  std::string name;
  std::string device;   // host:port
  std::string phase;
  int percent = 0;
  std::string rate;
  std::string outcome;
  Tone tone = Tone::Neutral;
};

class FleetTableModel : public QAbstractTableModel {
 public:
  enum Column { kName, kDevice, kPhase, kProgress, kRate, kOutcome, kColumns };

  explicit FleetTableModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}

  // Replaces every row (the view is told at once).
  void SetRows(std::vector<FleetRow> rows);
  std::size_t Size() const { return rows_.size(); }
  const FleetRow& Row(std::size_t index) const { return rows_[index]; }
  // A row to change; the view hears of it at the next Flush.
  FleetRow& Edit(std::size_t index);
  // Tells the view of the rows changed since the last call.
  void Flush();

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  std::vector<FleetRow> rows_;
  std::size_t dirtyFirst_ = 0;
  std::size_t dirtyEnd_ = 0;  // none when equal to dirtyFirst_
};

// Draws the progress column as a progress bar.
class ProgressDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// One slot of a station, to be read from a distance: the slot, the state
// word in large letters on green (PASS), red (FAIL) or grey, the progress,
// the counts and the last unit's number and MAC address.
class StationTile : public QFrame {
 public:
  enum class Tone { Idle, Busy, Pass, Fail };
  explicit StationTile(const QString& slot, QWidget* parent = nullptr);
  void Show(const QString& word, Tone tone, int percent, const QString& state, const QString& counts,
            const QString& unit);
  QString Word() const;

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 public:
  // Called on a double click (the slot's log).
  std::function<void()> onDoubleClick;

 private:
  QLabel* slot_;
  QLabel* word_;
  QProgressBar* bar_;
  QLabel* state_;
  QLabel* counts_;
  QLabel* unit_;
  Tone tone_ = Tone::Idle;
};

}  // namespace mervix
