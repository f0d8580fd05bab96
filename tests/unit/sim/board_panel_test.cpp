// The board panel's line of text for the states an operator sees.
#include "sim/endpoints/board_panel.h"

#include <gtest/gtest.h>

namespace {

using sim::Level;
using sim::OutputState;

TEST(BoardPanelText, ShowsLedsOutputsZigbeeResetPirAndTime) {
  sim::PanelState state;
  state.ledLit = {true, false, false};
  state.outputs = {OutputState::On, OutputState::Off, OutputState::Blinking, OutputState::Off};
  state.zigbeeReset = Level::High;
  state.pir = Level::Low;
  state.now = sim::milliseconds(12345);
  EXPECT_EQ(sim::renderPanel(state),
            "LED1 lit  LED2 dark LED3 dark | ACT on    off   blink off   | ZB run   | PIR low  | 12.345 s");

  state.ledLit = {false, true, true};
  state.outputs = {OutputState::Off, OutputState::Blinking, OutputState::On, OutputState::On};
  state.zigbeeReset = Level::Low;
  state.pir = Level::High;
  state.now = 0;
  EXPECT_EQ(sim::renderPanel(state),
            "LED1 dark LED2 lit  LED3 lit  | ACT off   blink on    on    | ZB reset | PIR high | 0.000 s");
}

TEST(BoardPanelText, KeepsItsLayoutWhateverTheStatesAndFitsTheWidth) {
  sim::PanelState dark;
  sim::PanelState lit;
  lit.ledLit = {true, true, true};
  lit.outputs = {OutputState::Blinking, OutputState::Blinking, OutputState::Blinking, OutputState::Blinking};
  lit.zigbeeReset = Level::High;
  lit.pir = Level::High;
  // Same length: the panel does not jitter as levels change.
  EXPECT_EQ(sim::renderPanel(dark).size(), sim::renderPanel(lit).size());
  EXPECT_EQ(sim::renderPanel(lit, 20), "LED1 lit  LED2 lit  ");
}

TEST(BoardPanelText, ShowsTheLivePaceAndMeasuredRatioWhenRunLive) {
  sim::PanelState state;
  state.now = sim::seconds(3);
  state.speed = "x100";
  state.ratio = 97.25;
  EXPECT_EQ(sim::renderPanel(state),
            "LED1 dark LED2 dark LED3 dark | ACT off   off   off   off   | ZB reset | PIR low  | x100 x97.2 | 3.000 s");
  state.speed = "paused";
  state.ratio = 0;
  EXPECT_EQ(sim::renderPanel(state).substr(82), "| paused x0.0 | 3.000 s");
}

}  // namespace
