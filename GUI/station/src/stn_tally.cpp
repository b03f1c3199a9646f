// TEMPORARY placeholder until the tally lands.
#include "stn_tally.h"
void StnTally::feed(const std::string &line) { (void)line; ++units; }
double StnTally::first_pass_yield() const { return -1; }
double StnTally::units_per_hour() const { return -1; }
std::vector<std::int64_t> StnTally::not_at_image() const { return {}; }
