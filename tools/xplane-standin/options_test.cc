#include "options.h"

#include <gtest/gtest.h>

namespace simrelay::standin {
namespace {

StandinCommandLine parse(std::vector<std::string> arguments) {
  return parse_standin_arguments(arguments);
}

TEST(StandinOptions, DefaultsListenOnLoopbackAndFlyAroundZurich) {
  auto options = std::get<StandinOptions>(parse({}));
  EXPECT_EQ(options.listen, (Ipv4Endpoint{{127, 0, 0, 1}, 49000}));
  EXPECT_DOUBLE_EQ(options.plan.centre_lat_deg, 47.46);
  EXPECT_DOUBLE_EQ(options.plan.centre_lon_deg, 8.55);
}

TEST(StandinOptions, AddressAndCentreInAnyOrder) {
  auto options =
      std::get<StandinOptions>(parse({"--lon", "-122.375", "127.0.0.220", "--lat", "37.6"}));
  EXPECT_EQ(options.listen, (Ipv4Endpoint{{127, 0, 0, 220}, 49000}));
  EXPECT_DOUBLE_EQ(options.plan.centre_lat_deg, 37.6);
  EXPECT_DOUBLE_EQ(options.plan.centre_lon_deg, -122.375);
  EXPECT_TRUE(std::holds_alternative<StandinUsage>(parse({"127.0.0.1", "--help"})));
  EXPECT_TRUE(std::holds_alternative<StandinUsage>(parse({"-h"})));
}

TEST(StandinOptions, RefusesWhatItCannotUse) {
  for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
           {"localhost"},
           {"127.0.0.1", "127.0.0.2"},
           {"--lat"},
           {"--lat", "47.4x"},
           {"--lat", "81"},
           {"--lon", "180.5"},
           {"--lon", "nan"},
           {"--lat", ""},
           {"--port", "1"},
       }) {
    EXPECT_TRUE(std::holds_alternative<OptionError>(parse(bad))) << bad[0];
  }
  EXPECT_EQ(std::get<OptionError>(parse({"--lat", "95"})).message,
            "--lat needs degrees from -80 to 80");
}

}  // namespace
}  // namespace simrelay::standin
