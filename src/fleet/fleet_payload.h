#pragma once
// What travels over the broker, as pure functions of bytes: the topics of a
// screen, a command's payload turned into the datagram the display would
// receive, the JSON state a screen publishes, and the Home Assistant
// discovery configs. No network and no window here, so every rule is tested
// (and fuzzed) on its own.

#include "fleet/fleet_command.h"
#include "fleet/fleet_discovery.h"
#include "fleet/fleet_state.h"
#include "fleet/fleet_topics.h"
#include "fleet/state_pacer.h"
