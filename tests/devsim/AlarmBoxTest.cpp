// The simulator's alarm boxes lie inside the picture its streams send: a
// clip's own size (read from its SPS), not the synthetic source's.
#include <gtest/gtest.h>

#include "Device.h"
#include "QNVNetAlarm.h"

namespace qnv::devsim {
namespace {

// Every box of the first alarms of a device started with options, checked
// against width x height.
void ExpectBoxesInside(SimulatorOptions options, uint32_t width, uint32_t height) {
  Device device(options);
  ASSERT_TRUE(device.Start()) << device.LastError();
  for (int i = 0; i < 500; ++i) {
    const std::vector<uint8_t> bytes = device.MakeAlarm(1);
    qnvnet_alarm alarm{};
    ASSERT_EQ(qnvnet_alarm_decode(bytes.data() + QNVNET_ALARM_BODY_OFFSET,
                                  int32_t(bytes.size() - QNVNET_ALARM_BODY_OFFSET), &alarm),
              1);
    EXPECT_GT(alarm.box[2], 0u);
    EXPECT_GT(alarm.box[3], 0u);
    EXPECT_LE(uint64_t(alarm.box[0]) + alarm.box[2], width) << "alarm " << i;
    EXPECT_LE(uint64_t(alarm.box[1]) + alarm.box[3], height) << "alarm " << i;
  }
  device.Stop();
}

TEST(AlarmBoxes, FitTheClipThatIsStreamed) {
  SimulatorOptions o;
  o.clipPath = QNV_SAMPLE_CLIP;  // 640 x 360, while the synthetic size stays 1280 x 720
  ExpectBoxesInside(o, 640, 360);
}

TEST(AlarmBoxes, FitTheSyntheticPicture) {
  SimulatorOptions o;
  o.syntheticWidth = 320;
  o.syntheticHeight = 240;
  ExpectBoxesInside(o, 320, 240);
}

}  // namespace
}  // namespace qnv::devsim
