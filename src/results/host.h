#pragma once
// How the core talks to whatever runs it: the desktop program (queued calls to the
// UI thread), the command line (stderr lines) or a test (a recorder).
#include <string>

namespace kelvora {

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
  // Progress of a long search or retry: pages done of pages asked (0 asked: no
  // pages, as in a retry) and items done so far. Shown on the progress bar; status texts stay.
  virtual void setProgress(int pagesDone, int pagesAsked, int itemsDone) {}
  // Enables or disables a query button by its control name (desktop only).
  virtual void setQueryEnabled(const std::string& button, bool enabled) {}
};

}  // namespace kelvora
