/* tarv: automatic steel-tip dart scoring from one to three cameras.
 *
 * Every request and reply is JSON text. Reply pointers are owned by the object that produced
 * them; see each function for how long a reply lives. No function
 * lets an exception or a crash escape for bad input; failures are {"error": CODE} replies or
 * negative return codes. */
#ifndef TARV_TARV_H
#define TARV_TARV_H

#include <stdint.h>

#if defined(__GNUC__)
#define TARV_API __attribute__((visibility("default")))
#else
#define TARV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Engine ---------------------------------------------------------------------------------- */

/* Constant ABI description: {"abi":1,"opencv":"5.0.0","image_format":"BGR8"}. */
TARV_API const char* tarv_abi_info(void);

/* A new engine, or NULL when it cannot be created. */
TARV_API void* tarv_create(void);

/* Destroys an engine; NULL is harmless. No other thread may be inside the engine. */
TARV_API void tarv_destroy(void* engine);

/* Runs one JSON request; returns the JSON reply. Several threads may call one engine (the
 * calls run one at a time); each calling thread has its own reply, valid until that same
 * thread's next tarv_call on the engine or the engine's destruction, whatever other threads
 * call meanwhile. Images travel as {"pointer", "width", "height", "length"} of 8-bit BGR buffers that must
 * stay valid until the call returns; the engine keeps no reference to them. */
TARV_API const char* tarv_call(void* engine, const char* request);

/* Copies one image of one camera (0..2) of the three-camera round. image 0: colour reference,
 * 1: colour background, 2: stored change mask (one byte per pixel), 3 (and any other
 * number): the further image. size must be the image's exact byte count.
 * Returns 0, -1 for bad arguments, -2 when the image is empty or size does not match. */
TARV_API int32_t tarv_copy(void* engine, int32_t camera, int32_t image, uint8_t* destination,
                           uint64_t size);

/* Image analysis ---------------------------------------------------------------------------- */

/* Frame-difference mask of two grey images of width x height bytes (rows packed): 255 where
 * they differ (absolute difference, 5x5 median, level 16). Returns the number of set pixels,
 * -1 for bad arguments (null, sizes outside 1..8192, mask_size < width*height), -2 on failure. */
TARV_API int32_t tarv_direct_mask(const uint8_t* previous, const uint8_t* current, int32_t width,
                                  int32_t height, uint8_t* mask, uint64_t mask_size);

/* Capture ---------------------------------------------------------------------------------- */

/* Seconds of the monotonic clock that every capture time and decision uses. */
TARV_API double tarv_monotonic_seconds(void);

/* Media ------------------------------------------------------------------------------------ */

/* A JPEG of an image the host supplies. pixels must hold exactly width x height x 3 bytes,
 * rows packed, in the order R, G, B; the function reads that many bytes and cannot check the
 * buffer's length. width 1..1024, height 1..768. With H (9 doubles, row-major, board
 * millimetres to pixels of the full-size camera image, of which pixels is the quarter-size
 * image) the picture is the board seen from the front, 480 x 480 at 1.2 pixels per
 * millimetre with the bull in the centre; with K (9 doubles) and D (k1, k2, p1, p2, k3) as
 * well, the lens distortion is removed first (K or D alone is ignored). H, K and D may be
 * NULL. Writes the JPEG (quality 78) to dst and returns its length; -1 bad arguments,
 * -2 invalid H, K or D, -3 encoding failed, -4 capacity too small (dst unspecified), -5 any
 * other failure. */
TARV_API int32_t tarv_image_jpeg_lens(const uint8_t* pixels, int32_t width, int32_t height,
                                      const double* H, const double* K, const double* D,
                                      uint8_t* dst, uint64_t capacity);

/* tarv_image_jpeg_lens without a lens. */
TARV_API int32_t tarv_image_jpeg(const uint8_t* pixels, int32_t width, int32_t height,
                                 const double* H, uint8_t* dst, uint64_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* TARV_TARV_H */
