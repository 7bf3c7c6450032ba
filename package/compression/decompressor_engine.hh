// Per-payload decoders for every engine, streaming and stateless, created
// regardless of what the peer will send. The engine and method follow the
// packet's shim flags, not local configuration.
#pragma once

#include "compression/compressor_engine.hh"

union LZ4_streamDecode_u;
struct ZSTD_DCtx_s;

class DecompressorEngine {
  public:
    DecompressorEngine();
    ~DecompressorEngine();
    DecompressorEngine(const DecompressorEngine&) = delete;
    DecompressorEngine& operator=(const DecompressorEngine&) = delete;

    // Creates every decoder. Returns 0, or -1 with error() set to
    // "Unable to initialize ... decompressor ...".
    int init();
    void cleanup();
    // Exchanges everything, stream state included, with `o`.
    void swap(DecompressorEngine& o) noexcept;

    // Decodes `len` bytes at `src` (the compressed data without the 2-byte
    // check value) into out(). The engine is chosen from `flags` (LZ4 for
    // WSHIM_LZ4 or WSHIM_LZ4HC, else zstd, else zlib) and the streaming
    // decoder when WSHIM_STREAM is set. Returns the decoded length (> 0) or
    // -1 with error() set (possibly empty for LZ4, which has no message).
    int decompress(uint8_t flags, const uint8_t* src, size_t len);

    // Start of a new stream: re-initialises the zstd stream decoder and
    // resets the streaming zlib inflater. The LZ4 decoder and its ring stay
    // as they are: a fresh LZ4 stream never refers to older data. Returns 0,
    // or -1 with error() set to "unable to reset decompressor ...".
    int reset_stream();

    const uint8_t* out() const { return _out; }
    const char* error() const { return _err; }
    uint32_t ring_position() const { return _ring_pos; }

  private:
    int fail(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    int decompress_lz4(const uint8_t* src, size_t len, bool streaming);
    int decompress_zstd(const uint8_t* src, size_t len, bool streaming);
    int decompress_zlib(const uint8_t* src, size_t len, bool streaming);

    uint8_t* _out = nullptr;
    uint8_t* _ring = nullptr;
    uint32_t _ring_pos = 0;
    LZ4_streamDecode_u* _lz4 = nullptr;
    ZSTD_DCtx_s* _zstd_stream = nullptr;
    ZSTD_DCtx_s* _zstd_dctx = nullptr;  // stateless, reused across packets
    z_stream_s* _zlib_stream = nullptr;
    z_stream_s* _zlib_stateless = nullptr;
    char _err[compression::ERR_SIZE];
};
