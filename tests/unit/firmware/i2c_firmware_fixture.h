// The firmware's I2C buses brought up as start-up does, with a register-file
// chip at 0x40 on the sensor bus (I2C1) in place of the board's temperature
// and humidity sensor.
#pragma once

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
    board.i2cBus1().detach(board.sensors().htu21());
    board.i2cBus1().attach(chip);
    transactionsSeen = board.i2cBus1().onTransaction([this](const sim::I2cTransaction& t) { log.push_back(t); });
    for (int i = 0; i < 256; ++i) chip.setReg(static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(0xA0 + i));
  }
  ~I2cFirmwareBoard() { board.i2cBus1().detach(chip); }

  sim::RegisterFileTarget chip{kChip};
  std::vector<sim::I2cTransaction> log;
  sim::Subscription transactionsSeen;
};
