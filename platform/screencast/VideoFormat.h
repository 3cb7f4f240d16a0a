/* The PipeWire stream's video formats, built and parsed in C: the SPA pod macros are C99
 * and do not compile cleanly as C++. */
#ifndef TVL_SCREENCAST_VIDEOFORMAT_H
#define TVL_SCREENCAST_VIDEOFORMAT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct spa_pod;
struct spa_pod_builder;

/* The formats a VNC framebuffer takes without conversion: 32-bit BGRx/RGBx/BGRA/RGBA
 * of any size. */
const struct spa_pod* tvl_video_format_offer(struct spa_pod_builder* b);
/* The buffers the stream may hand over: memory a process can map. */
const struct spa_pod* tvl_video_buffers_offer(struct spa_pod_builder* b);

enum tvl_pixel_layout { TVL_PIXELS_UNKNOWN = 0, TVL_PIXELS_BGRX, TVL_PIXELS_RGBX };

/* Reads a negotiated raw video format; 0 when it is one, -1 otherwise. */
int tvl_video_format_parse(const struct spa_pod* param, enum tvl_pixel_layout* layout,
                           uint32_t* width, uint32_t* height);

#ifdef __cplusplus
}
#endif

#endif
