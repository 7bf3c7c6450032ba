// Per-payload compression engines (zlib, LZ4, LZ4 high-compression, zstd)
// with a streaming and a stateless context each. Plain C++, no element
// framework: WComp and the per-thread compressors wrap it.
//
// Every buffer and library context is created by init(); compress() never
// allocates. Errors are reported through error(): a message without the
// element name, which the caller logs as "<name> <message>".
#pragma once

#include <cstddef>
#include <cstdint>

union LZ4_stream_u;
union LZ4_streamHC_u;
struct ZSTD_CCtx_s;
struct z_stream_s;

// Values of the COMPRESSOR keyword.
enum CompressorId : int {
    ENGINE_NONE = 0,
    ENGINE_DEPRECATED = 1,
    ENGINE_LZ4 = 2,
    ENGINE_LZ4HC = 3,
    ENGINE_ZSTD = 4,
    ENGINE_ZLIB = 5,
};

namespace compression {

// Every engine writes into (and every decoder decodes into) a 4000-byte buffer.
constexpr size_t OUT_SIZE = 4000;
// LZ4 streaming history: blocks are written one after another into this ring;
// once the write position passes LZ4_RING_WRAP it goes back to 0.
constexpr size_t LZ4_RING_SIZE = 514000;
constexpr uint32_t LZ4_RING_WRAP = 0x7CFFF;
// The LZ4 decoders refuse output over 2000 bytes, so larger payloads are
// never LZ4-compressed.
constexpr size_t LZ4_MAX_BLOCK = 2000;
constexpr size_t ERR_SIZE = 160;

// The shim flag bit of an engine (0 for none / unknown).
uint8_t shim_flag(int compressor);

// LEVEL as the engines use it: zlib above 9 or negative becomes 9; zstd
// negative or above the library maximum becomes 11; others unchanged.
int clamp_level(int compressor, int level);

}  // namespace compression

class CompressorEngine {
  public:
    CompressorEngine();
    ~CompressorEngine();
    CompressorEngine(const CompressorEngine&) = delete;
    CompressorEngine& operator=(const CompressorEngine&) = delete;

    // Creates the buffers and contexts for `compressor` (2 to 5; 0 creates
    // nothing) at `level` (already clamped). Returns 0, or -1 with error() set
    // to "Unable to initialize compressor ...".
    int init(int compressor, int level);
    // Frees everything; init() may be called again afterwards.
    void cleanup();
    // Exchanges everything, stream state included, with `o` (hot
    // reconfiguration hands a running stream to the new element).
    void swap(CompressorEngine& o) noexcept;

    // Compresses `len` bytes at `src` into out(). `streaming` selects the
    // streaming context. Returns the compressed length (> 0); 0 when the
    // payload is empty or too large for the buffers (or the engine is none),
    // nothing touched and the packet should go uncompressed; -1 on failure.
    // After a streaming failure the streaming context has been reset: the
    // caller must start a new stream with the next streaming packet.
    int compress(const uint8_t* src, size_t len, bool streaming);

    // Starts a new stream: LZ4 stream reset and ring position 0, zstd stream
    // re-initialised, zlib streaming deflater reset. Returns 0, or -1 with
    // error() set to "unable to initialize compressor 4: ..." (zstd) or
    // "unable to reset compressor 5: <code>" (zlib).
    int reset_stream();

    // Changes the level of zstd (any level the library knows but 0) or zlib
    // (1 to 9); -1 for other engines or a bad level. Stateless packets use it
    // at once. A running stream changes at its next packet that leaves room
    // in the output buffer: a zstd stream ends its frame there (the epilogue
    // goes in front of the packet's bytes) and starts a new frame within the
    // same stream; zlib changes the parameters of the running deflate
    // stream. The peer's decoder reads either as it is.
    int set_level(int level);

    // Largest payload this engine compresses; longer ones go uncompressed.
    size_t max_payload() const { return _max_payload; }

    const uint8_t* out() const { return _out; }
    const char* error() const { return _err; }
    int compressor() const { return _compressor; }
    int level() const { return _level; }
    uint32_t ring_position() const { return _ring_pos; }

  private:
    int fail(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    int compress_lz4_stream(const uint8_t* src, size_t len, bool hc);
    int compress_zstd(const uint8_t* src, size_t len, bool streaming);
    int compress_zlib(const uint8_t* src, size_t len, bool streaming);
    size_t bound(size_t len) const;

    int _compressor = ENGINE_NONE;
    int _level = 0;
    bool _level_pending = false;  // the streaming context still runs an older level
    bool _stream_used = false;    // the streaming context has compressed since its start
    size_t _max_payload = 0;
    uint8_t* _out = nullptr;
    uint8_t* _ring = nullptr;
    uint32_t _ring_pos = 0;
    LZ4_stream_u* _lz4 = nullptr;
    LZ4_streamHC_u* _lz4hc = nullptr;
    ZSTD_CCtx_s* _zstd_stream = nullptr;
    ZSTD_CCtx_s* _zstd_cctx = nullptr;  // stateless, reused across packets
    z_stream_s* _zlib_stream = nullptr;
    z_stream_s* _zlib_stateless = nullptr;
    char _err[compression::ERR_SIZE];
};
