// The firmware's I2C buses brought up as start-up does, with a register-file
// chip at 0x40 on the sensor bus (I2C1) in place of the board's temperature
// and humidity sensor.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "I2CRoutines.h"
#include "firmware_board.h"
#include "sim/devices/register_file_target.h"

struct I2cFirmwareBoard : FirmwareBoard {
  static constexpr std::uint8_t kChip = 0x40;

  I2cFirmwareBoard() {
    I2C1_Transfer_Failed = 0;
    I2C2_Transfer_Failed = 0;
    NumbOfBytes1 = 0;
    NumbOfBytes2 = 0;
    Tx_Idx1 = 0;
    Rx_Idx1 = 0;
    Tx_Idx2 = 0;
    Rx_Idx2 = 0;
    I2C_LowLevel_Init();
    board.removeSensorChip(kChip);
    board.i2cBus1().attach(chip);
    transactionsSeen = board.i2cBus1().onTransaction([this](const sim::I2cTransaction& t) { log.push_back(t); });
    for (int i = 0; i < 256; ++i) chip.setReg(static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(0xA0 + i));
  }
  ~I2cFirmwareBoard() { board.i2cBus1().detach(chip); }

  // Register accesses to I2C1 ("r SR1", "w CR1 0401"), with the interrupt
  // mask at the time of each.
  struct Access {
    std::string what;
    bool masked;
  };
  void recordAccesses() {
    accessesSeen = board.i2c1().onAccess([this](std::uint32_t offset, bool write, std::uint16_t value) {
      static const char* const kNames[] = {"CR1", "CR2", "OAR1", "OAR2", "DR", "SR1", "SR2", "CCR", "TRISE"};
      char text[24];
      std::snprintf(text, sizeof text, write ? "w %s %04X" : "r %s", kNames[offset / 4], value);
      accesses.push_back({text, board.interrupts().primask()});
    });
  }
  // The runs of accesses made with interrupts masked, each as one string.
  std::vector<std::string> maskedStretches() const {
    std::vector<std::string> runs;
    bool inRun = false;
    for (const Access& a : accesses) {
      if (a.masked && !inRun) runs.emplace_back();
      if (a.masked) runs.back() += (runs.back().empty() ? "" : ", ") + a.what;
      inRun = a.masked;
    }
    return runs;
  }
  sim::Time elapsedSince(sim::Time t) { return board.clock().now() - t; }

  std::vector<Access> accesses;
  sim::Subscription accessesSeen;

  sim::RegisterFileTarget chip{kChip};
  std::vector<sim::I2cTransaction> log;
  sim::Subscription transactionsSeen;
};
