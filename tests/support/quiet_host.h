#pragma once
// A search host that reports to nobody and never waits between items, so the
// search runs at full speed.
#include <string>

#include "results/host.h"

namespace kelvora::test {

struct QuietHost : Host {
  void setStatus(const std::string&) override {}
  void setRowCountLabel(const std::string&) override {}
  void message(const std::string&) override {}
  void pause(int) override {}
  bool stopRequested() const override { return false; }
};

}  // namespace kelvora::test
