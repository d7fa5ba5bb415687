// SampleBuffer: the owned storage that leaves a record whole and is freed by whoever took it.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "core/sample_buffer.hpp"

namespace pluvo {
namespace {

template <class T>
class SampleBufferTest : public ::testing::Test {};

using SampleTypes = ::testing::Types<std::uint16_t, float>;
TYPED_TEST_SUITE(SampleBufferTest, SampleTypes);

TYPED_TEST(SampleBufferTest, EmptyBufferHasAnAlignedNonNullAddress) {
  SampleBuffer<TypeParam> empty;
  ASSERT_NE(empty.data(), nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(empty.data()) % alignof(TypeParam), 0u);
  const auto storage = empty.release();  // its destruction frees nothing
  EXPECT_NE(storage.data(), nullptr);
  EXPECT_EQ(storage.bytes(), 0u);
}

TYPED_TEST(SampleBufferTest, ReleaseHandsOverTheStorageWhole) {
  SampleBuffer<TypeParam> buffer;
  buffer.resize_uninitialized(3);
  for (std::size_t i = 0; i < 3; ++i) buffer[i] = static_cast<TypeParam>(i + 1);
  TypeParam* const storage = buffer.data();

  const auto parts = buffer.release();
  EXPECT_EQ(parts.data(), storage);
  EXPECT_EQ(parts.bytes(), 3 * sizeof(TypeParam));
  EXPECT_EQ(static_cast<const TypeParam*>(parts.data())[2], static_cast<TypeParam>(3));
  // The buffer no longer owns anything; the sanitizer run would see a double free otherwise.
  EXPECT_TRUE(buffer.empty());
  EXPECT_NE(buffer.data(), nullptr);
}

TYPED_TEST(SampleBufferTest, GrowingKeepsTheSamplesAndMovingTransfersThem) {
  SampleBuffer<TypeParam> buffer;
  buffer.resize_uninitialized(2);
  buffer[0] = static_cast<TypeParam>(7);
  buffer[1] = static_cast<TypeParam>(8);
  buffer.resize_uninitialized(1000);
  EXPECT_EQ(buffer[1], static_cast<TypeParam>(8));

  SampleBuffer<TypeParam> moved = std::move(buffer);
  EXPECT_EQ(moved.size(), 1000u);
  EXPECT_EQ(moved[0], static_cast<TypeParam>(7));
  EXPECT_TRUE(buffer.empty());  // NOLINT(bugprone-use-after-move): moved-from state is specified

  moved.resize_uninitialized(0);
  EXPECT_TRUE(moved.empty());
  EXPECT_NE(moved.data(), nullptr);
}

}  // namespace
}  // namespace pluvo
