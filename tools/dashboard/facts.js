// The bus's facts as the page uses them, in one table: the ranges of its
// fields and the registers with what each holds (the cards' tooltips). Names
// and values are the C header's (include/zavlib.h, without the ZAV_ prefix),
// the explanations its comments; scripts/check_facts.py compares this file
// with the header.
'use strict';

const FACTS = Object.freeze({
  ID_MAX: 31,
  BROADCAST_ID: 254,
  GOAL_MIN: 3000,
  GOAL_MAX: 12000,
  GOAL_CENTER: 7500,
  PARAM_MIN: 1,
  PARAM_MAX: 127,
  SC3_MIN: -63,
  SC3_MAX: 63,
  SC4_MIN: -63,
  SC4_MAX: 127,
});

// Keyed by the register names the server's register table uses.
const REGISTERS = Object.freeze({
  id: { address: 0, meaning: "The servo's id, 0 to 31; reading it asks the servo for its position." },
  torque_enable: {
    address: 1,
    meaning: '1 while the servo holds its goal (torque on), 0 once released; writing 1 takes hold where the servo stands.',
  },
  goal_position: {
    address: 2,
    meaning:
      "Where the servo is sent, in the servo's own position units: 3000 and 12000 are the ends of the range the " +
      'servos accept and 7500 its middle; the angle of one unit depends on the servo, not on the bus. 0 while released.',
  },
  sc2_value: { address: 4, meaning: 'Writable parameter of sub-code 2, 1 to 127; what it sets depends on the servo.' },
  sc1_value: { address: 5, meaning: 'Writable parameter of sub-code 1, 1 to 127; what it sets depends on the servo.' },
  present_position: {
    address: 6,
    meaning: 'Where the servo said it stood in its reply to the last position exchange, in the units of the goal.',
  },
  sc3_value: {
    address: 8,
    meaning:
      'Reading of sub-code 3, -63 to 63 (the servo sends sign and magnitude); what it measures depends on the servo.',
  },
  sc4_value: {
    address: 9,
    meaning:
      "Reading of sub-code 4, -63 to 127, converted from the servo's byte v as (127 - v) * 9 / 11 + 41.55, " +
      'truncated; what it measures depends on the servo.',
  },
});
