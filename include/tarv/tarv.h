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
 * stay valid until the call returns; the engine keeps no reference to them. The engine reads
 * whatever address a request names, so requests must be built by the host's own code from its
 * own buffers, never taken from text that comes from outside the process. */
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

/* Capture functions take camera numbers 0..2. Frames leave as packed 8-bit BGR rows (3 bytes
 * a pixel), masks as one byte a pixel. No function throws; failures are negative codes. */

/* Opens a camera. device: a device number (the N-th V4L2 capture node in numeric order), a
 * /dev/videoN node, an existing video file (played looped) or an existing image file (that
 * one picture as a still). fps above 25 is asked as 25; 0 asks for no rate (the device's or
 * the file's own). fourcc NULL means "MJPG". api 700 lets the native V4L2 backends take the
 * camera first.
 * Returns 0 opened, -1 camera > 2, device NULL, or width, height or fps above INT32_MAX, -3
 * not closed since the last open, -2 the camera did not open within 15 s (close it before
 * opening it again). */
TARV_API int32_t tarv_capture_open(uint32_t camera, const char* device, uint32_t width,
                                   uint32_t height, uint32_t fps, const char* fourcc,
                                   int32_t api);
/* Stops and releases a camera; returns within a bounded time even when the device hangs. */
TARV_API void tarv_capture_close(uint32_t camera);
/* Motion gate: smallest blob (quarter-size pixels, >= 0) and least time between long-range
 * measurements (ms, > 0); other values leave a setting alone. Survives reopening. */
TARV_API void tarv_capture_gate(uint32_t camera, double min_blob_area, double interval_ms);
/* Waits up to timeout_ms for a frame not yet handed out and copies the newest full-size
 * frame. Returns 1, 0 time-out, -2 size mismatch (the frame stays unseen), -3 stopped or the
 * newest JPEG does not decode, -1 bad arguments. */
TARV_API int32_t tarv_capture_wait(uint32_t camera, int32_t timeout_ms, void* dst, int64_t size,
                                   uint32_t* sequence, double* read_ms);
/* Like tarv_capture_wait with the quarter-size frame and its frame-to-frame motion mask.
 * -4: stopped while reconnecting. */
TARV_API int32_t tarv_capture_wait_stats(uint32_t camera, int32_t timeout_ms, uint8_t* frame_dst,
                                         uint64_t frame_size, uint8_t* mask_dst,
                                         uint64_t mask_size, uint32_t* sequence,
                                         double* read_ms, int32_t* mask_pixels,
                                         int32_t* motion_pixels);
/* Copies a retained frame (sequence <= 0: the newest). 1, 0 not retained, -2 size, -1 args. */
TARV_API int32_t tarv_capture_copy(uint32_t camera, int32_t sequence, void* dst, uint64_t size);
/* The same reduced by factor: ceil(size / factor) for decoded frames, the JPEG decoder's 1/2
 * (factor 2, 3) or 1/4 (factor >= 4) for JPEG frames; factor 1 or less copies the full size,
 * a factor above 8192 is refused with -1. */
TARV_API int32_t tarv_capture_copy_reduced(uint32_t camera, int32_t sequence, int32_t factor,
                                           void* dst, uint64_t size);
/* Copies the newest motion mask when its frame is newer than after_sequence; *seconds is its
 * receive time. 1, 0 nothing newer, -2 size, -1 args. */
TARV_API int32_t tarv_capture_peek_motion(uint32_t camera, int32_t after_sequence, uint8_t* dst,
                                          uint64_t size, uint32_t* sequence, double* seconds);
/* Receive time (monotonic seconds) of one of the last 20 frames; -1.0 otherwise. */
TARV_API double tarv_capture_received(uint32_t camera, int32_t sequence);
/* Process-wide switches: native MJPG stream (on), native reader (on), exposure lock (off),
 * white-balance lock (off). */
TARV_API void tarv_capture_direct(int32_t on);
TARV_API void tarv_capture_media_foundation(int32_t on);
TARV_API void tarv_capture_lock_exposure(int32_t on);
TARV_API void tarv_capture_lock_white_balance(int32_t on);
/* Checks the JPEG end scanner without a camera: 1 passed, -1..-5 the failed check. */
TARV_API int32_t tarv_capture_selftest_jpeg_end(void);
/* Health document of one camera ("{}" for camera > 2). The text stays valid until this
 * thread asks for the same camera again. */
TARV_API const char* tarv_capture_health(uint32_t camera);
/* V4L2 capture devices and the modes of one of them, as JSON; valid until this thread calls
 * the same function again. */
TARV_API const char* tarv_capture_enumerate(void);
TARV_API const char* tarv_capture_modes(uint32_t index);

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

/* A JPEG of camera 0..2's retained frame `sequence` (width x height, captured at
 * capture_seconds on the monotonic clock, at most 0.5 s ago), rectified into a 960 x 960 top-down
 * board view of radius_mm (200..350) when H is given (K and D remove the lens first), with an
 * APP15 lens record. Returns the JPEG length; -1 bad arguments, -6 frame missing, replaced or
 * stale, -4 capacity too small, -5 any other failure. */
TARV_API int32_t tarv_capture_jpeg_lens(uint32_t camera, int32_t sequence, int32_t width,
                                        int32_t height, double capture_seconds, const double* H,
                                        const double* K, const double* D, double radius_mm,
                                        uint8_t* dst, uint64_t capacity);

/* tarv_image_jpeg_lens without a lens. */
TARV_API int32_t tarv_image_jpeg(const uint8_t* pixels, int32_t width, int32_t height,
                                 const double* H, uint8_t* dst, uint64_t capacity);

/* Runtime ---------------------------------------------------------------------------------- */

/* A runtime owns the three cameras, an engine of its own, the motion history and the evidence
 * reports. NULL when it cannot be created; no thread starts before "start". */
TARV_API void* tarv_runtime_create(void);
/* Stops everything (cameras closed, threads joined) and frees the runtime; NULL is harmless. */
TARV_API void tarv_runtime_destroy(void* runtime);
/* Runs one JSON command ({"command": "start" | "poll" | "status" | "stop" | ...}) and returns
 * the JSON reply, valid until the next call on this runtime or its destruction. Commands of one
 * runtime come from one thread at a time. NULL runtime or text: {"error":"INVALID_RUNTIME"}. */
TARV_API const char* tarv_runtime_call(void* runtime, const char* request);
/* Previews of camera 0..2 as packed R, G, B bytes; any host thread may call them while another
 * sends commands. 1 done, -1 bad arguments, -2 no fresh frame or a size that does not fit,
 * -3 the frame is no longer held by capture, -4 internal failure. dst is written only on 1.
 * The quarter-size preview: (height / 4) x (width / 4) x 3 bytes of the capture mode. */
TARV_API int32_t tarv_runtime_preview(void* runtime, uint32_t camera, uint8_t* dst, uint64_t size);
/* The newest frame resized to out_width (1..1280) x out_height (1..960), never enlarged. */
TARV_API int32_t tarv_runtime_scaled_preview(void* runtime, uint32_t camera, int32_t out_width,
                                             int32_t out_height, uint8_t* dst, uint64_t size);
/* The newest frame at full size: height x width x 3 bytes. */
TARV_API int32_t tarv_runtime_full_preview(void* runtime, uint32_t camera, uint8_t* dst,
                                           uint64_t size);
/* The newest frame seen from the front, side x side (120..720), -200..200 mm, rings drawn. */
TARV_API int32_t tarv_runtime_board_preview(void* runtime, uint32_t camera, int32_t side,
                                            uint8_t* dst, uint64_t size);

#ifdef __cplusplus
}
#endif

#endif /* TARV_TARV_H */
