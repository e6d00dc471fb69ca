// Mutated attachment files must never crash the decryptor: it either writes the whole plaintext or
// fails with `damaged` (or `file`) and leaves no output behind.
//
// Input: the attachment file. The key is fixed and its size is read from the file's own header, so
// that mutations reach the chunks instead of stopping at the size check.
#include "MovraneMailbox/Protocol/MailboxAttachment.h"
#include "MovraneMailbox/Protocol/MailboxBase64URL.h"

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

using namespace movrane;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// One private folder for the whole run, removed when the process exits.
struct Folder {
    Folder()
    {
        char name[] = "/tmp/fuzz-attachment-XXXXXX";
        check(::mkdtemp(name) != nullptr);
        path = name;
    }
    ~Folder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::filesystem::path path;
};

const std::filesystem::path& folder()
{
    static const Folder made;
    return made.path;
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto input = folder() / "input";
    auto output = folder() / "output";
    int descriptor = ::open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(descriptor >= 0 && ::write(descriptor, data, size) == static_cast<ssize_t>(size));
    ::close(descriptor);

    std::int64_t declared = 0;
    for (std::size_t index = 9; index < 17 && index < size; ++index)
        declared = (declared << 8) | data[index];
    MailboxAttachmentKey key { MailboxBase64URL::encode(MailboxBytes(32, 0x42)), declared & 0xFFFFFF };
    try {
        MailboxAttachmentCipher::decryptFile(input, key, output);
        check(std::filesystem::file_size(output) == static_cast<std::uintmax_t>(key.size));
        std::filesystem::remove(output);
    } catch (const MailboxAttachmentError& error) {
        check(error.kind() != MailboxAttachmentError::Kind::tooLarge);
        check(!std::filesystem::exists(output));
    }
    return 0;
}
