// The one owner of the devices: one claim at a time on the machine, a
// refused claim names the holder's report, and the claim ends with its
// object (a station that ends in any way leaves none behind).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "stn_owner.h"

TEST(StationOwner, OneClaimAtATimeThatNamesItsReportAndEndsWithItsHolder) {
    const std::string report = "C:\\Pr\xC3\xBC" "fstand 2\\station.jsonl";  // "Prüfstand"
    std::string holder = "unchanged";
    ASSERT_FALSE(StnOwner::held(&holder)) << "a station runs beside this test: " << holder;

    auto first = std::make_unique<StnOwner>();
    ASSERT_TRUE(first->claim(report, &holder));
    holder.clear();
    EXPECT_TRUE(StnOwner::held(&holder));
    EXPECT_EQ(holder, report);

    // Another program's claim, and a second one of the same program.
    for (int i = 0; i < 2; ++i) {
        StnOwner second;
        holder.clear();
        EXPECT_FALSE(second.claim("D:\\other.jsonl", &holder)) << i;
        EXPECT_EQ(holder, report) << i;
    }
    // The refused claims took nothing: the first one still holds.
    EXPECT_TRUE(StnOwner::held(&holder));
    EXPECT_EQ(holder, report);

    first.reset();
    EXPECT_FALSE(StnOwner::held(&holder));
    StnOwner again;
    EXPECT_TRUE(again.claim("D:\\other.jsonl", &holder));
    EXPECT_TRUE(StnOwner::held(&holder));
    EXPECT_EQ(holder, "D:\\other.jsonl");
}
