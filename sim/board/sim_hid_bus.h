#pragma once
// The board simulator as a HID bus: one interface for the board, plus any extra interfaces a
// discovery test wants around it (duplicates, wrong identities, interfaces that will not open).
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/hid.h"
#include "platform/standalone_sim_bus.h"
#include "sim/board/board_simulator.h"

namespace vaskel::sim {

constexpr uint16_t kBoardVendor = 0x8888;
constexpr uint16_t kBoardProduct = 0x0006;
constexpr uint16_t kBoardRelease = 0x0100;

class SimHidBus : public HidBus {
 public:
  static constexpr const char* kBoardPath = "sim:board";
  enum class Place { BeforeBoard, AfterBoard };

  explicit SimHidBus(BoardSimulator& board) : board_(board) {}

  // Adds an interface that is not the board; returns its path. One that does not open still
  // shows in the enumeration; one that opens takes writes and never answers.
  std::string AddInterface(uint16_t vendor, uint16_t product, uint16_t release, Place place,
                           bool opens = true);
  void RemoveExtraInterfaces();

  // The unplugged board is absent from the enumeration.
  std::vector<HidDeviceInfo> Enumerate() override;
  std::unique_ptr<HidPort> Open(const std::string& path) override;

  int open_count(const std::string& path) const;
  int enumerate_count() const;
  BoardSimulator& board() { return board_; }

 private:
  struct Extra {
    HidDeviceInfo info;
    Place place;
    bool opens;
  };
  BoardSimulator& board_;
  mutable std::mutex mutex_;
  std::vector<Extra> extras_;
  std::map<std::string, int> opens_;
  int enumerations_ = 0;
};

}  // namespace vaskel::sim
