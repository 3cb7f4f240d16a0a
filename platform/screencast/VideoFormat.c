#include "platform/screencast/VideoFormat.h"

#include <spa/buffer/buffer.h>
#include <spa/param/buffers.h>
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

const struct spa_pod* tvl_video_format_offer(struct spa_pod_builder* b) {
  return spa_pod_builder_add_object(
      b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_RGBx,
                             SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size,
      SPA_POD_CHOICE_RANGE_Rectangle(&SPA_RECTANGLE(1280, 800), &SPA_RECTANGLE(1, 1),
                                     &SPA_RECTANGLE(8192, 8192)),
      SPA_FORMAT_VIDEO_framerate,
      SPA_POD_CHOICE_RANGE_Fraction(&SPA_FRACTION(30, 1), &SPA_FRACTION(0, 1),
                                    &SPA_FRACTION(60, 1)));
}

const struct spa_pod* tvl_video_buffers_offer(struct spa_pod_builder* b) {
  return spa_pod_builder_add_object(
      b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd)));
}

int tvl_video_format_parse(const struct spa_pod* param, enum tvl_pixel_layout* layout,
                           uint32_t* width, uint32_t* height) {
  uint32_t media_type, media_subtype;
  struct spa_video_info_raw info;
  *layout = TVL_PIXELS_UNKNOWN;
  if (param == NULL || spa_format_parse(param, &media_type, &media_subtype) < 0 ||
      media_type != SPA_MEDIA_TYPE_video || media_subtype != SPA_MEDIA_SUBTYPE_raw)
    return -1;
  spa_zero(info);
  if (spa_format_video_raw_parse(param, &info) < 0) return -1;
  switch (info.format) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
      *layout = TVL_PIXELS_BGRX;
      break;
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
      *layout = TVL_PIXELS_RGBX;
      break;
    default:
      break;
  }
  *width = info.size.width;
  *height = info.size.height;
  return 0;
}
