// eFile path helpers, folders, rename/delete, positioned I/O and the
// whole-file stream; contents are checked with plain file reads.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <unistd.h>

#include "platform/eFile.h"
#include "support/multiprocess.h"
#include "support/test_files.h"

using namespace TVK;
using tvktest::ReadText;
using tvktest::WriteText;
namespace fs = std::filesystem;

TEST(FilePath, SplittingAndJoining) {
    const std::pair<eString, const char*> cases[] = {
        {eFile::GetDir("/a/b/c.xml"), "/a/b/"},
        {eFile::GetDir("c.xml"), ""},
        {eFile::GetDir("/c.xml"), "/"},
        {eFile::GetTitle("/a.b/conf"), "conf"},
        {eFile::GetTitle("x.tar.gz"), "x.tar"},
        {eFile::GetTitle("/a/b/"), ""},
        {eFile::GetFileName("/a/b/conf.xml"), "conf.xml"},
        {eFile::ChangeExt("/a.b/conf", "cdi"), "/a.b/conf.cdi"},
        {eFile::ChangeExt("/a/conf.xml", ""), "/a/conf"},
        {eFile::GetAbsolutePath("/root//", "L00"), "/root/L00"},
        {eFile::GetAbsolutePath("/root", "/abs/x"), "/abs/x"},
        {eFile::GetAbsolutePath("", "rel/x"), "rel/x"}};
    for (const auto& c : cases) EXPECT_EQ(c.first.Std(), c.second);
}

TEST(FileSystem, MkDirExRenameAndDelete) {
    tvktest::TempDir dir;
    const std::string root = dir.Root();
    EXPECT_TRUE(eFile::MkDirEx(root + "a/b//c/"));  // every missing parent
    EXPECT_TRUE(fs::is_directory(root + "a/b/c"));
    EXPECT_TRUE(eFile::MkDirEx(root + "a/b/c"));  // already there
    WriteText(root + "plain", "x");
    EXPECT_FALSE(eFile::MkDirEx(root + "plain/sub") ||
                 eFile::MkDirEx(root + "plain"));  // a file in the way

    WriteText(root + "tile.png", "old bytes");
    WriteText(root + "tile.png.temp", "new");
    ASSERT_TRUE(eFile::Rename(root + "tile.png.temp", root + "tile.png"));  // replaces the target
    EXPECT_EQ(ReadText(root + "tile.png"), "new");
    EXPECT_FALSE(eFile::Rename(root + "tile.png.temp", root + "tile.png"));  // source gone
    EXPECT_EQ(eFile::GetFileSize(root + "tile.png"), 3);
    EXPECT_EQ(eFile::GetFileSize(root + "missing"), -1);
    EXPECT_TRUE(eFile::Delete(root + "tile.png") && !eFile::IsExist(root + "tile.png"));
    EXPECT_FALSE(eFile::Delete(root + "tile.png"));
}

TEST(FileSystem, RenameNoReplaceAndTemporaryFilesBeside) {
    tvktest::TempDir dir;
    const std::string from = dir.Root() + "from", to = dir.Root() + "to";
    WriteText(from, "new");
    WriteText(to, "taken");
    EXPECT_EQ(eFile::RenameNoReplace(from, to), 0);  // the name is taken: nothing changes
    EXPECT_EQ(ReadText(from) + ReadText(to), "newtaken");
    fs::remove(to);
    EXPECT_EQ(eFile::RenameNoReplace(from, to), 1);
    EXPECT_TRUE(ReadText(to) == "new" && !fs::exists(from));
    EXPECT_EQ(eFile::RenameNoReplace(from, to), -1);  // no source

    // Two temporary files of one path never share a name.
    eFile a, b;
    eString nameA, nameB;
    ASSERT_TRUE(a.CreateTempBeside(to, nameA) && b.CreateTempBeside(to, nameB));
    EXPECT_NE(nameA.Std(), nameB.Std());
    for (const std::string& name : {nameA.Std(), nameB.Std()})
        EXPECT_TRUE(name.rfind(to + ".", 0) == 0 && name.size() > 5 &&
                    name.compare(name.size() - 5, 5, ".temp") == 0 && fs::file_size(name) == 0)
            << name;
    EXPECT_TRUE(a.WriteAt(0, "x", 1) && b.WriteAt(0, "yz", 2));
    EXPECT_EQ(ReadText(nameA.Std()) + ReadText(nameB.Std()), "xyz");
}

// Locks held through one descriptor exclude every other descriptor, in this
// process or another; a dead holder's lock is gone; a forked child knows
// which of its files it inherited.
TEST(FileLock, DescriptorsExcludeEachOtherUntilReleaseOrDeath) {
    tvktest::TempDir dir;
    const std::string path = dir.Root() + "bundle";
    WriteText(path, "data");
    eFile a, b;
    ASSERT_TRUE(a.Open(path, eFile::OpenReadWrite) && b.Open(path, eFile::OpenRead));
    ASSERT_EQ(a.Lock(eFile::LockExclusive, false), eFile::LockHeld);
    EXPECT_EQ(b.Lock(eFile::LockShared, false), eFile::LockBusy);
    EXPECT_TRUE(a.Unlock());
    {
        const eFileLock shared(b, eFile::LockShared);
        EXPECT_EQ(shared.GetResult(), eFile::LockHeld);
        EXPECT_EQ(a.Lock(eFile::LockShared, false), eFile::LockHeld);  // readers side by side
        EXPECT_EQ(a.Lock(eFile::LockExclusive, false), eFile::LockBusy);
    }
    EXPECT_EQ(a.Lock(eFile::LockExclusive, false), eFile::LockHeld);  // the guard released b's
    EXPECT_FALSE(a.IsInherited());

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    tvktest::eChildren children;
    // Inherited files are told apart from the child's own; the child's own
    // descriptor is excluded by the parent's lock.
    children.Start([&] {
        eFile own;
        return a.IsInherited() && own.Open(path, eFile::OpenReadWrite) && !own.IsInherited() &&
                       own.Lock(eFile::LockShared, false) == eFile::LockBusy
                   ? 0
                   : 1;
    });
    children.Release();
    EXPECT_EQ(children.Wait(), std::vector<int>{0});
    a.Unlock();
    const pid_t holder = children.Start([&] {
        eFile own;
        if (!own.Open(path, eFile::OpenReadWrite) ||
            own.Lock(eFile::LockExclusive, true) != eFile::LockHeld ||
            ::write(ready[1], "x", 1) != 1)
            return 1;
        ::sleep(30);  // killed long before
        return 0;
    });
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    EXPECT_EQ(a.Lock(eFile::LockShared, false), eFile::LockBusy);
    children.Kill(holder);  // the kernel drops the dead holder's lock
    EXPECT_EQ(a.Lock(eFile::LockExclusive, false), eFile::LockHeld);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(FileDescriptor, PositionedReadsAndWrites) {
    tvktest::TempDir dir;
    const std::string path = dir.Root() + "data";
    WriteText(path, "abcdef");
    eFile f;
    ASSERT_TRUE(f.Open(path, eFile::OpenRead));
    char buf[16] = {};
    EXPECT_EQ(f.ReadAt(4, buf, 10), 2);  // short at the end of the file
    EXPECT_EQ(std::string(buf, 2), "ef");
    EXPECT_EQ(f.ReadAt(6, buf, 4), 0);
    EXPECT_EQ(f.ReadAt(-1, buf, 4), -1);
    EXPECT_FALSE(f.WriteAt(0, "XY", 2));  // read-only descriptor
    EXPECT_TRUE(f.Close());
    EXPECT_EQ(f.ReadAt(0, buf, 4), -1);  // closed

    ASSERT_TRUE(f.Open(path, eFile::OpenReadWrite));
    EXPECT_TRUE(f.WriteAt(2, "XY", 2));
    EXPECT_TRUE(f.WriteAt(8, "Z", 1));             // past the end: a zero-filled gap
    EXPECT_TRUE(f.WriteAt(9, "12", 2, "345", 3));  // two parts, back to back
    EXPECT_TRUE(f.Close());
    EXPECT_EQ(ReadText(path), std::string("abXYef\0\0Z12345", 14));
    ASSERT_TRUE(f.Open(path, eFile::OpenRead));
    char head[2], body[8];
    EXPECT_EQ(f.ReadAt(0, head, 2, body, 3), 5);  // two parts, back to back
    EXPECT_EQ(std::string(head, 2) + std::string(body, 3), "abXYe");
    EXPECT_EQ(f.ReadAt(11, head, 2, body, 8), 3);  // short at the end of the file
    EXPECT_EQ(std::string(head, 2) + std::string(body, 1), "345");

    EXPECT_FALSE(f.Open(path, eFile::CreateExclusive));
    EXPECT_FALSE(f.Open(dir.Str(), eFile::OpenRead));  // a folder is no file
    eFile created;
    ASSERT_TRUE(created.Open(dir.Root() + "fresh", eFile::CreateExclusive) &&
                created.Write("12", 2));
    eFile moved(std::move(created));  // the descriptor is closed once, by its new owner
    EXPECT_TRUE(!created.IsOpen() && moved.Write("34", 2) && moved.Close());
    EXPECT_EQ(ReadText(dir.Root() + "fresh"), "1234");
}

TEST(FileStream, SaveThenLoadRoundTripsAndFailureLeavesDataUntouched) {
    tvktest::TempDir dir;
    const std::string path = dir.Root() + "tile.bin";
    std::string payload;
    for (int i = 0; i < 70000; ++i) payload += static_cast<char>(i * 7);
    const auto* bytes = reinterpret_cast<const unsigned char*>(payload.data());
    eFileStream out;
    ASSERT_TRUE(out.Open(path, eFileStream::Write, 8192));  // writes larger than the buffer
    ASSERT_TRUE(out.Save(bytes, 50000) && out.Save(bytes + 50000, 20000));
    ASSERT_TRUE(out.Close());
    EXPECT_EQ(ReadText(path), payload);

    eByteArray data;
    data.SetSize(3);  // stale content a load must replace, never append to
    eFileStream in;
    ASSERT_TRUE(in.Open(path, eFileStream::Read));
    ASSERT_TRUE(in.LoadByteArray(data));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.GetData()), data.GetSize()), payload);
    in.Close();

    eFileStream missing;
    EXPECT_FALSE(missing.Open(dir.Root() + "nope.bin", eFileStream::Read) ||
                 missing.LoadByteArray(data));
    EXPECT_EQ(data.GetSize(), 70000);  // a failed load leaves the array alone

    ASSERT_TRUE(out.Open(path, eFileStream::Write) && out.Close());  // truncates the longer file
    ASSERT_TRUE(in.Open(path, eFileStream::Read));
    EXPECT_TRUE(in.LoadByteArray(data) && data.GetSize() == 0);
}
