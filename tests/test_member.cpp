#include "bundle/member.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace ka {
namespace {

using test::TempDir;
using test::writeFile;

TEST(Member, CanonicalNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"P.f16", "source_frames.f16"},
      {"P_hevc.mov", "source_frames.hevc"},
      {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"},
      {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
      {"M.f32", "paste_transform.f32"},
      {"mask_512.u8", "paste_mask.u8"},
      {"pooled64.f16", "pooled_features.f16"},
      {"fs_red.f16", "feature_synth.f16"},
      {"xs_target.bin", "target_keypoints.bin"},
      {"model_b4.onnx", "render_model.batch4.onnx"},
      {"model_b4_fp16.onnx", "render_model.batch4.fp16.onnx"},
      {"model_b1_a_b.onnx", "render_model.batch1.a_b.onnx"},
      {"model_b.onnx", "model_b.onnx"},  // nothing between the head and the extension
      {"model_x4.onnx", "model_x4.onnx"},
      {"drive/xs.f32", "idle_loop/source_keypoints.f32"},
      {"drive/xd.f32", "idle_loop/driven_keypoints.f32"},
      {"drive/si.i32", "idle_loop/source_index.i32"},
      {"drive/other.tar.gz", "idle_loop/other.tar.gz"},
      {"drive/xs", "idle_loop/source_keypoints"},
      {"manifest.json", "manifest.json"},
      {"lip_template.v1.json", "lip_template.v1.json"},
  };
  for (const auto& [legacy, canonical] : cases) EXPECT_EQ(canonicalMemberName(legacy), canonical) << legacy;
}

TEST(Member, LegacyWinsThenCanonicalThenLegacyPathForMissing) {
  TempDir d;
  EXPECT_EQ(resolveMember(d.path(), "M.f32"), d / "M.f32");
  writeFile(d / "paste_transform.f32", "c");
  EXPECT_EQ(resolveMember(d.path(), "M.f32"), d / "paste_transform.f32");
  writeFile(d / "M.f32", "l");
  EXPECT_EQ(resolveMember(d.path(), "M.f32"), d / "M.f32");

  writeFile(d / "idle_loop/source_index.i32", "s");
  EXPECT_EQ(resolveMember(d.path(), "drive/si.i32"), d / "idle_loop/source_index.i32");
  writeFile(d / "render_model.batch4.fp16.onnx", "m");
  EXPECT_EQ(resolveMember(d.path(), "model_b4_fp16.onnx"), d / "render_model.batch4.fp16.onnx");
  // A name without a canonical form is never probed.
  EXPECT_EQ(resolveMember(d.path(), "nothing.bin"), d / "nothing.bin");
}

}  // namespace
}  // namespace ka
