// eFile path helpers, folder creation, rename/delete, positioned I/O and the
// whole-file stream; file contents are checked with plain standard streams.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/eFile.h"

using namespace TVK;
namespace fs = std::filesystem;

namespace {

// A fresh folder below the system temp folder, removed with its contents.
class TempDir {
public:
    TempDir() {
        std::random_device rd;
        m_path = fs::temp_directory_path() / ("tvk_file_test_" + std::to_string(rd()) + std::to_string(rd()));
        fs::create_directories(m_path);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }
    std::string Str() const { return m_path.string(); }

private:
    fs::path m_path;
};

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(FilePath, DirTitleNameAndExtension) {
    EXPECT_EQ(eFile::GetDir("/a/b/c.xml"), eString("/a/b/"));
    EXPECT_EQ(eFile::GetDir("c.xml"), eString(""));
    EXPECT_EQ(eFile::GetDir("/a/b/"), eString("/a/b/"));
    EXPECT_EQ(eFile::GetDir("/c.xml"), eString("/"));

    EXPECT_EQ(eFile::GetTitle("/a/b/conf.xml"), eString("conf"));
    EXPECT_EQ(eFile::GetTitle("/a.b/conf"), eString("conf"));
    EXPECT_EQ(eFile::GetTitle("x.tar.gz"), eString("x.tar"));
    EXPECT_EQ(eFile::GetTitle("/a/.hidden"), eString(".hidden"));
    EXPECT_EQ(eFile::GetTitle("/a/b/"), eString(""));
    EXPECT_EQ(eFile::GetFileName("/a/b/conf.xml"), eString("conf.xml"));

    EXPECT_EQ(eFile::ChangeExt("/a/conf.xml", "cdi"), eString("/a/conf.cdi"));
    EXPECT_EQ(eFile::ChangeExt("/a/conf.xml", ".cdi"), eString("/a/conf.cdi"));
    EXPECT_EQ(eFile::ChangeExt("/a.b/conf", "cdi"), eString("/a.b/conf.cdi"));
    EXPECT_EQ(eFile::ChangeExt("/a/conf.xml", ""), eString("/a/conf"));
}

TEST(FilePath, AbsolutePathJoinsWithOneSeparator) {
    EXPECT_EQ(eFile::GetAbsolutePath("/root", "L00/x.png"), eString("/root/L00/x.png"));
    EXPECT_EQ(eFile::GetAbsolutePath("/root/", "L00"), eString("/root/L00"));
    EXPECT_EQ(eFile::GetAbsolutePath("/root//", "L00"), eString("/root/L00"));
    EXPECT_EQ(eFile::GetAbsolutePath("/", "x"), eString("/x"));
    EXPECT_EQ(eFile::GetAbsolutePath("/root", "/abs/x"), eString("/abs/x"));
    EXPECT_EQ(eFile::GetAbsolutePath("", "rel/x"), eString("rel/x"));
    EXPECT_EQ(eFile::GetAbsolutePath("/root", ""), eString("/root"));
}

TEST(FileSystem, MkDirExCreatesEveryMissingParent) {
    TempDir dir;
    const std::string nested = dir / "a/b//c/";
    EXPECT_TRUE(eFile::MkDirEx(nested));
    EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
    EXPECT_TRUE(eFile::IsDirectory(dir / "a/b"));
    EXPECT_TRUE(eFile::MkDirEx(nested));  // already there
    EXPECT_TRUE(eFile::MkDirEx(dir / "a/b/c/d"));

    // A regular file in the way makes it fail.
    WriteText(dir / "plain", "x");
    EXPECT_FALSE(eFile::MkDirEx(dir / "plain/sub"));
    EXPECT_FALSE(eFile::MkDirEx(dir / "plain"));
    EXPECT_FALSE(eFile::MkDirEx(""));
}

TEST(FileSystem, RenameReplacesTargetAndDeleteRemoves) {
    TempDir dir;
    const std::string from = dir / "tile.png.temp";
    const std::string to = dir / "tile.png";
    WriteText(to, "old bytes");
    WriteText(from, "new");
    ASSERT_TRUE(eFile::Rename(from, to));
    EXPECT_EQ(ReadText(to), "new");
    EXPECT_FALSE(fs::exists(from));
    EXPECT_FALSE(eFile::Rename(from, to));  // source gone
    EXPECT_EQ(ReadText(to), "new");

    EXPECT_TRUE(eFile::IsExist(to));
    EXPECT_EQ(eFile::GetFileSize(to), 3);
    EXPECT_EQ(eFile::GetFileSize(dir / "missing"), -1);
    EXPECT_TRUE(eFile::Delete(to));
    EXPECT_FALSE(eFile::IsExist(to));
    EXPECT_FALSE(eFile::Delete(to));
}

TEST(FileDescriptor, ReadAtIsShortAtEndOfFile) {
    TempDir dir;
    const std::string path = dir / "ten";
    WriteText(path, "0123456789");
    eFile f;
    ASSERT_TRUE(f.Open(path, eFile::OpenRead));
    EXPECT_EQ(f.Size(), 10);
    char buf[16] = {};
    EXPECT_EQ(f.ReadAt(6, buf, 10), 4);
    EXPECT_EQ(std::string(buf, 4), "6789");
    EXPECT_EQ(f.ReadAt(2, buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "234");
    EXPECT_EQ(f.ReadAt(10, buf, 4), 0);
    EXPECT_EQ(f.ReadAt(100, buf, 4), 0);
    EXPECT_EQ(f.ReadAt(-1, buf, 4), -1);
    EXPECT_TRUE(f.Close());
    EXPECT_EQ(f.ReadAt(0, buf, 4), -1);  // closed
}

TEST(FileDescriptor, WritesLandAtOffsetsAndFailOnReadOnlyDescriptor) {
    TempDir dir;
    const std::string path = dir / "data";
    WriteText(path, "abcdef");
    {
        eFile ro;
        ASSERT_TRUE(ro.Open(path, eFile::OpenRead));
        EXPECT_FALSE(ro.WriteAt(0, "XY", 2));
        EXPECT_FALSE(ro.Write("XY", 2));
    }
    EXPECT_EQ(ReadText(path), "abcdef");
    {
        eFile rw;
        ASSERT_TRUE(rw.Open(path, eFile::OpenReadWrite));
        EXPECT_TRUE(rw.WriteAt(2, "XY", 2));
        EXPECT_TRUE(rw.WriteAt(8, "Z", 1));  // past the end: a zero-filled gap
        EXPECT_TRUE(rw.Sync());
    }
    EXPECT_EQ(ReadText(path), std::string("abXYef\0\0Z", 9));

    eFile excl;
    EXPECT_FALSE(excl.Open(path, eFile::CreateExclusive));
    EXPECT_FALSE(excl.Open(dir.Str(), eFile::OpenRead));  // a folder is no file
    EXPECT_FALSE(excl.Open(dir / "missing", eFile::OpenRead));

    eFile created;
    ASSERT_TRUE(created.Open(dir / "fresh", eFile::CreateExclusive));
    EXPECT_TRUE(created.Write("12", 2));
    EXPECT_TRUE(created.Write("34", 2));
    eFile moved(std::move(created));
    EXPECT_FALSE(created.IsOpen());
    EXPECT_TRUE(moved.IsOpen());
    EXPECT_TRUE(moved.Close());
    EXPECT_EQ(ReadText(dir / "fresh"), "1234");
}

TEST(FileStream, SaveThenLoadRoundTripsAndFailureLeavesDataUntouched) {
    TempDir dir;
    const std::string path = dir / "tile.bin";
    std::string payload;
    for (int i = 0; i < 70000; ++i) payload += static_cast<char>(i * 7);

    eFileStream out;
    ASSERT_TRUE(out.Open(path, eFileStream::Write, 8192));
    ASSERT_TRUE(out.Save(reinterpret_cast<const unsigned char*>(payload.data()), 50000));
    ASSERT_TRUE(out.Save(reinterpret_cast<const unsigned char*>(payload.data()) + 50000, 20000));
    EXPECT_FALSE(out.Save(reinterpret_cast<const unsigned char*>(payload.data()), -1));
    ASSERT_TRUE(out.Close());
    EXPECT_EQ(ReadText(path), payload);

    eByteArray data;
    const unsigned char junk[3] = {9, 9, 9};
    data.Add(junk, 3);  // loading replaces, never appends
    eFileStream in;
    ASSERT_TRUE(in.Open(path, eFileStream::Read));
    ASSERT_TRUE(in.LoadByteArray(data));
    ASSERT_EQ(data.GetSize(), 70000);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.GetData()), 70000), payload);
    in.Close();

    // A missing file cannot be opened, and loading from the unopened stream
    // fails without touching the caller's bytes.
    eFileStream missing;
    EXPECT_FALSE(missing.Open(dir / "nope.bin", eFileStream::Read));
    eByteArray kept(junk, 3);
    EXPECT_FALSE(missing.LoadByteArray(kept));
    EXPECT_EQ(kept, eByteArray(junk, 3));

    // Writing truncates an earlier, longer file; an empty file loads as empty.
    ASSERT_TRUE(out.Open(path, eFileStream::Write));
    ASSERT_TRUE(out.Close());
    EXPECT_EQ(fs::file_size(path), 0u);
    ASSERT_TRUE(in.Open(path, eFileStream::Read));
    EXPECT_TRUE(in.LoadByteArray(kept));
    EXPECT_EQ(kept.GetSize(), 0);
    EXPECT_FALSE(in.Open(path, 3));  // no such direction
}
