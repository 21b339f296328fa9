// One pass over a file, feeding every attached handler chunk by chunk: a copy of the
// bytes, their MD4, their signature and their delta against an old signature.
#pragma once

#include <atomic>
#include <memory>

#include "delta/copy_handler.h"
#include "delta/delta_handler.h"
#include "delta/md4_hash_handler.h"
#include "delta/signature_handler.h"
#include "foundation/ustring.h"

// Results of readFile(); a family of their own, told apart from the stream and the
// file system results by the type. The numbers are only for log lines.
enum class DeltaResult : int {
    kDone = 0,
    kArgument = -1,     // nothing to read, or an output would overwrite the input
    kSystemCall = -2,   // the input (or a basis or delta) cannot be opened or read
    kHandlerCall = -3,  // an output (copy, signature, delta, hash) failed
    kAbort = -4,        // the abort flag was raised
    kFileFormat = -5,   // a delta or signature is malformed
};

class FileReader {
public:
    static constexpr size_t CHUNK_SIZE = 1024 * 1024;

    virtual ~FileReader();
    [[nodiscard]] virtual DeltaResult readFile() = 0;

    // When *flag becomes non-zero the pass stops before its next chunk with DeltaResult::kAbort.
    void setAbortFlag(const std::atomic<int>* flag) { abort_flag = flag; }
    // MD4 of the bytes of the pass, as 32 lower-case hex digits, written to out at the end.
    void setHashString(ustring& out);
    // Signature of the bytes of the pass; block size 0 keeps 2048, a hash size outside
    // 1..16 keeps 8.
    void setSignature(const ustring& file, uint32_t block_size = SignatureHandler::DEFAULT_BLOCK_SIZE,
                      uint32_t hash_size = SignatureHandler::DEFAULT_HASH_SIZE);

protected:
    // Each calls the same operation on the attached handlers in the order copy, delta,
    // signature, MD4; false when any fails.
    [[nodiscard]] bool begin();
    [[nodiscard]] bool update(const uint8_t* data, size_t length);
    [[nodiscard]] bool wait();
    [[nodiscard]] bool end();
    bool aborted() const;
    // True when an output named by a handler is the same file as input (it would be
    // truncated before it is read).
    bool outputClobbers(const ustring& input) const;

    const std::atomic<int>* abort_flag = nullptr;
    std::unique_ptr<CopyHandler> copy_handler;
    std::unique_ptr<MD4HashHandler> md4_hash_handler;
    std::unique_ptr<SignatureHandler> signature_handler;
    std::unique_ptr<DeltaHandler> delta_handler;
    ustring signature_output;
    ustring delta_output;
};
