// Writing a file so that a failure never destroys what was there: the bytes
// go to a new file beside the target, which takes the target's place in one
// rename once every byte is on the disk. Never installed.
#ifndef VEXA_FILE_INCLUDED
#define VEXA_FILE_INCLUDED

#include <cstdio>
#include <string>

namespace ORMELA {
namespace impl {

// One save: Open, write to the file it gives, Commit. Destroyed without a
// successful Commit (a failed write, an exception), it removes the new file
// and leaves the target as it was.
class ReplacingFile {
public:
    ReplacingFile() : file(0), existed(false), permissions(0), owner(0), group(0) {}
    ~ReplacingFile();

    // The file to write for target, or null when it cannot be made. A
    // symbolic link is followed to the file it names. A target that is no
    // regular file (a device, a pipe) cannot be replaced and is opened
    // itself, with fopenMode.
    FILE* Open(const char* target, const char* fopenMode);
    // Flushes the file to the disk and puts it in the target's place with
    // the target's permission bits. False when any step failed; the target
    // is then untouched and the new file gone.
    bool Commit();

private:
    ReplacingFile(const ReplacingFile&);
    ReplacingFile& operator=(const ReplacingFile&);
    void Discard();

    FILE* file;
    std::string path;       // the target, its links followed
    std::string temporary;  // the new file; empty when writing in place
    bool existed;           // whether the target was there, with:
    unsigned permissions;
    unsigned owner;
    unsigned group;
};

}  // namespace impl
}  // namespace ORMELA

#endif  // VEXA_FILE_INCLUDED
