// Commands that compute values into variables: the math command (50, with the
// random generator and CRC-32), the derived-value command (51), and the
// shared helpers of the value commands for output parameters.
#pragma once
#include <cstdint>

int cmd_math();               // 50
int cmd_get_system_values();  // 51

// The variable element an argument names (its recorded reference).
struct element_ref {
  uint32_t id = 0;
  int64_t element = 0;
};
// The reference of a given parameter; false when the parameter is absent.
bool parameter_element(uint32_t parameter_id, element_ref& out);
// The type of a variable as scripts see it: the declared one, or for an
// undeclared system id the kind the engine computes (0 when neither).
uint8_t variable_type_of(uint32_t id);

// Command 51's formula: integer elements I[0..7] and real elements R[0..30]
// (index = element number) into the four results for elements 31..34.
void compute_derived_values(const int64_t* integers, const double* reals, double* out);
