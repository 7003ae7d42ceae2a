#pragma once
// How the core talks to whatever runs it: the desktop program (queued calls to the
// UI thread), the command line (stderr lines) or a test (a recorder).
#include <string>

namespace kelvora {

// How far a long operation got. A total of 0 is not known beforehand.
struct Progress {
  int pagesDone = 0, pagesAsked = 0;  // result pages of a search
  int itemsDone = 0, itemsAsked = 0;  // items of an address list or a retry
  bool operator==(const Progress&) const = default;
};

class Host {
 public:
  virtual ~Host() = default;
  // The status line (GBK).
  virtual void setStatus(const std::string& text) = 0;
  // The row count label, "条数：N" (GBK).
  virtual void setRowCountLabel(const std::string& text) = 0;
  // A message box text (GBK).
  virtual void message(const std::string& text) = 0;
  // Waits `ms` milliseconds between items; the desktop keeps its window responsive.
  virtual void pause(int ms) = 0;
  // Gives the runner a chance to handle pending input between rows.
  virtual void processEvents() {}
  // True once the user asked the running operation to stop.
  virtual bool stopRequested() const = 0;
  // Starts an account-name refresh in the background (desktop only).
  virtual void startAccountRefresh() {}
  // Progress of a long search, lookup list or retry. Shown beside the status
  // line (the bar, "x / y"); status texts stay.
  virtual void setProgress(const Progress& progress) {}
  // Enables or disables a query button by its control name (desktop only).
  virtual void setQueryEnabled(const std::string& button, bool enabled) {}
};

}  // namespace kelvora
