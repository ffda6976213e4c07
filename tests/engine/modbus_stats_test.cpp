#include "engine/modbus_stats.h"

#include <gtest/gtest.h>

#include <string>

namespace talmo {
namespace {

constexpr std::int64_t kMs = 1000000;

// A master and a slave at 9600 8N1 (a character: 1.0417 ms) over 10 ms.
TModbusStats Conversation() {
  using enum TModbusEvent::TKind;
  TModbusStats s;
  s.AddSide("tap TX", 1e10 / 9600);
  s.AddSide("tap RX", 1e10 / 9600);
  s.Block(0, 8, 0);
  s.Block(1, 9, 10 * kMs);
  s.Block(7, 100, 20 * kMs);  // no such side: not counted, no span
  for (const TModbusEvent& e : {
           TModbusEvent{Request, 0, 1, 3, -1, 8},
           TModbusEvent{Answer, 1, 1, 3, 5 * kMs, 9},
           TModbusEvent{Request, 0, 1, 3, -1, 8},
           TModbusEvent{Exception, 1, 1, 3, 2 * kMs, 5},
           TModbusEvent{Request, 0, 1, 3, -1, 8},
           TModbusEvent{BadCheck, 1, 1, 3, -1, 9},
           TModbusEvent{Unanswered, 0, 1, 3},
           TModbusEvent{Answer, 1, 2, 6, 1500 * kMs, 8},
           TModbusEvent{Noise, 1, 0, 0, -1, 3},
       })
    s.Event(e);
  return s;
}

TEST(ModbusStats, CountsTimesAndLineUseAsText) {
  EXPECT_EQ(Conversation().Text(),
            "tap TX: 8 bytes, 3 frames, 0 noise bytes, line use 83.33 %\n"
            "tap RX: 9 bytes, 4 frames, 3 noise bytes, line use 93.75 %\n"
            "unit 1 read holding registers (3): 3 requests, 1 answers, 1 exceptions, 1 check "
            "failures, 1 unanswered; response ms min 2.000, median 2.000, p99 5.000, max 5.000\n"
            "unit 2 write single register (6): 0 requests, 1 answers, 0 exceptions, 0 check "
            "failures, 0 unanswered; response ms min 1500.000, median 1500.000, p99 1500.000, max "
            "1500.000\n"
            "response times:\n"
            "  0-1 ms                                                0\n"
            "  1-2 ms                                                0\n"
            "  2-5 ms       ######################################## 1\n"
            "  5-10 ms      ######################################## 1\n"
            "  10-20 ms                                              0\n"
            "  20-50 ms                                              0\n"
            "  50-100 ms                                             0\n"
            "  100-200 ms                                            0\n"
            "  200-500 ms                                            0\n"
            "  500-1000 ms                                           0\n"
            "  1000 ms-     ######################################## 1\n");
}

TEST(ModbusStats, TheSameAsJson) {
  const std::string json = Conversation().Json();
  EXPECT_NE(json.find("{\"name\": \"tap TX\", \"bytes\": 8, \"frames\": 3, \"noise_bytes\": 0, "
                      "\"line_use_percent\": 83.3333}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("{\"unit\": 1, \"function\": 3, \"name\": \"read holding registers\", "
                      "\"requests\": 3, \"answers\": 1, \"exceptions\": 1, \"check_failures\": 1, "
                      "\"unanswered\": 1, \"response_ms\": {\"min\": 2.000, \"median\": 2.000, "
                      "\"p99\": 5.000, \"max\": 5.000}}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("{\"from_ms\": 1000, \"to_ms\": null, \"count\": 1}]}"), std::string::npos);
  // Nothing seen: no line use, no times, an empty histogram.
  TModbusStats empty;
  empty.AddSide("a \"quoted\" port", 0);
  EXPECT_EQ(empty.Text(), "a \"quoted\" port: 0 bytes, 0 frames, 0 noise bytes\n");
  EXPECT_NE(empty.Json().find("\"name\": \"a \\\"quoted\\\" port\", \"bytes\": 0, \"frames\": 0, "
                              "\"noise_bytes\": 0, \"line_use_percent\": null"),
            std::string::npos);
  // Bytes alone (no Modbus): no frames are counted.
  TModbusStats bytes(false);
  bytes.AddSide("A RX", 1e10 / 9600);
  bytes.Block(0, 10, 0);
  bytes.Block(0, 10, 100 * kMs);
  EXPECT_EQ(bytes.Text(), "A RX: 20 bytes, line use 20.83 %\n");
  EXPECT_NE(bytes.Json().find("\"frames\": null, \"noise_bytes\": null"), std::string::npos);
}

}  // namespace
}  // namespace talmo
