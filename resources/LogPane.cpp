#include "resources/LogPane.h"

namespace mervix {

void LogPane::ClearLog() {
  text_.clear();
  lineBuffer_.clear();
  Refresh();
}

void LogPane::AppendLogLine(const std::string& text) {
  lineBuffer_ = text + "\r\n";
  text_ += lineBuffer_;
  Refresh();
}

void LogPane::AppendRaw(const std::string& text) {
  lineBuffer_ = text;
  text_ += lineBuffer_;
  Refresh();
}

void LogPane::Refresh() {
  if (refresh_) refresh_(text_, lineBuffer_);
}

}  // namespace mervix
