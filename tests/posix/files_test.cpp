// files_test.cpp: CreateFileA and the file calls, temporary names, the
// module name and local memory, against Windows' results.
#include "platform/posix/files.h"
#include "platform/posix/handles.h"
#include "platform/posix/ntapi.h"
#include "support/support.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

class Files : public qt::TempNetwork {
protected:
    void SetUp() override {
        qt::TempNetwork::SetUp();
        drive = computer() + "/c";
        qt::makedirs(drive + "/out");
    }
    std::string drive; // host folder of C: on the local computer
};

HANDLE openout(const char *path) {
    return CreateFileA(path, GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

// Runs body in a child process and returns its exit status.
template <class F> int inchild(F body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

off_t filesize(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

TEST_F(Files, OpenAlwaysReportsWhetherTheFileExisted) {
    SetLastError(0xdeadbeef);
    HANDLE h = openout("C:\\out\\dump.txt");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);
    DWORD n = 99;
    ASSERT_TRUE(WriteFile(h, "line1\r\n", 7, &n, NULL));
    EXPECT_EQ(n, 7u);
    EXPECT_TRUE(CloseHandle(h));

    SetLastError(0xdeadbeef);
    h = openout("c:/OUT/DUMP.TXT");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(SetFilePointer(h, 0, NULL, FILE_CURRENT), 0u) << "an opened file starts at 0";
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SetFilePointer(h, 0, NULL, FILE_END), 7u);
    EXPECT_EQ(GetLastError(), 0xdeadbeefu) << "a successful seek leaves the last error";
    ASSERT_TRUE(WriteFile(h, "line2\r\n", 7, &n, NULL));
    EXPECT_EQ(SetFilePointer(h, 0, NULL, FILE_CURRENT), 14u);
    CloseHandle(h);
    EXPECT_EQ(qt::readfile(drive + "/out/dump.txt"), "line1\r\nline2\r\n");
}

TEST_F(Files, CreateAlwaysAndTruncateExistingEmptyTheFile) {
    qt::writefile(drive + "/out/a.txt", "old content");
    SetLastError(0xdeadbeef);
    HANDLE h = CreateFileA("C:\\out\\a.txt", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    CloseHandle(h);
    EXPECT_EQ(filesize(drive + "/out/a.txt"), 0);

    qt::writefile(drive + "/out/a.txt", "old content");
    h = CreateFileA("C:\\out\\a.txt", GENERIC_WRITE, 0, NULL, TRUNCATE_EXISTING, 0, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(filesize(drive + "/out/a.txt"), 0);

    SetLastError(0xdeadbeef);
    h = CreateFileA("C:\\out\\new.txt", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);
    CloseHandle(h);
}

TEST_F(Files, ExclusiveOpenRefusesASecondOpenerInTheSameProcess) {
    HANDLE h = openout("C:\\out\\dump.txt");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(openout("C:\\out\\dump.txt"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(CreateFileA("C:\\out\\dump.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                          NULL),
              INVALID_HANDLE_VALUE)
        << "a reader must not get past a handle that shares nothing";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeleteFileA("C:\\out\\dump.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(qt::fileexists(drive + "/out/dump.txt"));

    ASSERT_TRUE(CloseHandle(h));
    h = openout("C:\\out\\dump.txt");
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << "closing releases the lock at once";
    CloseHandle(h);
    EXPECT_TRUE(DeleteFileA("C:\\out\\dump.txt"));
}

TEST_F(Files, ExclusiveOpenRefusesOtherProcesses) {
    HANDLE h = openout("C:\\out\\dump.txt");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int code = inchild([] {
        HANDLE h2 = openout("C:\\out\\dump.txt");
        return h2 == INVALID_HANDLE_VALUE ? (int)GetLastError() : 0;
    });
    EXPECT_EQ(code, (int)ERROR_SHARING_VIOLATION);
    CloseHandle(h);
    code = inchild([] {
        HANDLE h2 = openout("C:\\out\\dump.txt");
        return h2 == INVALID_HANDLE_VALUE ? (int)GetLastError() : 0;
    });
    EXPECT_EQ(code, 0) << "the lock went with the handle";

    // And the other way round: a child holds the file while the parent tries.
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t pid = fork();
    if (pid == 0) {
        HANDLE held = openout("C:\\out\\dump.txt");
        char c = held == INVALID_HANDLE_VALUE ? 'x' : 'y';
        ssize_t ignored = write(ready[1], &c, 1);
        ignored = read(done[0], &c, 1);
        (void)ignored;
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    SetLastError(0xdeadbeef);
    EXPECT_EQ(openout("C:\\out\\dump.txt"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    ASSERT_EQ(write(done[1], &c, 1), 1);
    waitpid(pid, nullptr, 0);
    h = openout("C:\\out\\dump.txt");
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << "a process that ends leaves no lock behind";
    CloseHandle(h);
    for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

TEST_F(Files, SharedReadersCoexistButRefuseAWriterThatSharesNothing) {
    qt::writefile(drive + "/out/in.txt", "x");
    const char *path = "C:\\out\\in.txt";
    HANDLE r1 = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    HANDLE r2 = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(r1, INVALID_HANDLE_VALUE);
    ASSERT_NE(r2, INVALID_HANDLE_VALUE);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL), INVALID_HANDLE_VALUE)
        << "the readers do not share write access";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    CloseHandle(r1);
    CloseHandle(r2);
    HANDLE w = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_NE(w, INVALID_HANDLE_VALUE);
    CloseHandle(w);
}

TEST_F(Files, CreateFileErrorsFollowWindows) {
    qt::writefile(drive + "/out/exists.txt", "x");
    qt::writefile(drive + "/out/ro.txt", "x");
    chmod((drive + "/out/ro.txt").c_str(), 0444);
    qt::makedirs(network() + "/OTHER/c");
    std::string longpath = "C:\\" + std::string(300, 'p');
    struct Row {
        const char *what;
        std::string path;
        DWORD disposition;
        DWORD error;
    } rows[] = {
        {"missing folder", "C:\\out\\nosuchdir\\x.txt", OPEN_ALWAYS, ERROR_PATH_NOT_FOUND},
        {"missing drive", "Q:\\x.txt", OPEN_ALWAYS, ERROR_PATH_NOT_FOUND},
        {"a file as folder", "C:\\out\\exists.txt\\x.txt", OPEN_ALWAYS, ERROR_PATH_NOT_FOUND},
        {"missing file", "C:\\out\\none.txt", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {"existing file", "C:\\out\\exists.txt", CREATE_NEW, ERROR_FILE_EXISTS},
        {"folder", "C:\\out", OPEN_ALWAYS, ERROR_ACCESS_DENIED},
        {"read-only file", "C:\\out\\ro.txt", OPEN_ALWAYS, ERROR_ACCESS_DENIED},
        {"bad character", "C:\\out\\bad<name>.txt", OPEN_ALWAYS, ERROR_INVALID_NAME},
        {"wildcard", "C:\\out\\bad?.txt", OPEN_ALWAYS, ERROR_INVALID_NAME},
        {"empty path", "", OPEN_ALWAYS, ERROR_PATH_NOT_FOUND},
        {"300 characters", longpath, OPEN_ALWAYS, ERROR_FILENAME_EXCED_RANGE},
        {"unknown computer", "\\\\NOSUCH\\C$\\x.txt", OPEN_ALWAYS, ERROR_BAD_NETPATH},
        {"share that is not a drive", "\\\\OTHER\\public\\x.txt", OPEN_ALWAYS, ERROR_BAD_NET_NAME},
        {"bad disposition", "C:\\out\\x.txt", 0, ERROR_INVALID_PARAMETER},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        SetLastError(0xdeadbeef);
        HANDLE h = CreateFileA(row.path.c_str(), GENERIC_WRITE, 0, NULL, row.disposition, 0, NULL);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), row.error);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    EXPECT_EQ(qt::readfile(drive + "/out/ro.txt"), "x");
}

TEST_F(Files, UncPathReachesAnotherComputersDrive) {
    qt::makedirs(network() + "/Server7/d/Logs");
    HANDLE h = openout("\\\\server7\\D$\\logs\\dump.txt");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n;
    WriteFile(h, "x", 1, &n, NULL);
    CloseHandle(h);
    EXPECT_EQ(qt::readfile(network() + "/Server7/d/Logs/dump.txt"), "x");
}

TEST_F(Files, SetFilePointerRefusesNegativeAndFourGigabytePositions) {
    HANDLE h = openout("C:\\out\\big.txt");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n;
    WriteFile(h, "abcdef", 6, &n, NULL);

    SetLastError(0xdeadbeef);
    EXPECT_EQ(SetFilePointer(h, -100, NULL, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(SetFilePointer(h, 0, NULL, FILE_CURRENT), 6u) << "a failed seek does not move";
    EXPECT_EQ(SetFilePointer(h, -2, NULL, FILE_END), 4u);

    SetLastError(0xdeadbeef);
    EXPECT_EQ(SetFilePointer(h, 0, NULL, 7), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // A file of 4 GiB + 10 bytes (sparse): the end does not fit 32 bits.
    ASSERT_EQ(truncate((drive + "/out/big.txt").c_str(), 0x10000000AULL), 0);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SetFilePointer(h, 0, NULL, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SetFilePointer(h, 0, NULL, FILE_CURRENT), 4u) << "the pointer stays where it was";
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(h, 0, &high, FILE_END), 10u);
    EXPECT_EQ(high, 1);

    // Position 0xFFFFFFFF is a success that looks like a failure.
    high = 0;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SetFilePointer(h, (LONG)0xFFFFFFFF, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(high, 0);
    CloseHandle(h);

    SetLastError(0xdeadbeef);
    EXPECT_EQ(SetFilePointer(h, 0, NULL, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(Files, WriteFileIsAllOrNothingOnAFullDisk) {
    std::string host = drive + "/out/dump.txt";
    qt::writefile(host, "0123456789");
    int code = inchild([] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {16, 16};
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 90;
        HANDLE h = openout("C:\\out\\dump.txt");
        if (h == INVALID_HANDLE_VALUE) return 91;
        if (SetFilePointer(h, 0, NULL, FILE_END) != 10) return 92;
        DWORD written = 12345;
        SetLastError(0xdeadbeef);
        if (WriteFile(h, "a line of twenty b\r\n", 20, &written, NULL)) return 93;
        if (written != 0) return 94;
        if (GetLastError() != ERROR_DISK_FULL) return 95;
        // The position is back at the old end: the next line that fits
        // follows the old content directly.
        if (!WriteFile(h, "ok\r\n", 4, &written, NULL) || written != 4) return 96;
        CloseHandle(h);
        return 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(qt::readfile(host), "0123456789ok\r\n");
}

TEST_F(Files, ReadAndWriteNeedTheMatchingAccess) {
    qt::writefile(drive + "/out/in.txt", "hello");
    HANDLE r = CreateFileA("C:\\out\\in.txt", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(r, INVALID_HANDLE_VALUE);
    char buf[16] = {0};
    DWORD n = 99;
    ASSERT_TRUE(ReadFile(r, buf, sizeof buf, &n, NULL));
    EXPECT_EQ(n, 5u);
    EXPECT_STREQ(buf, "hello");
    ASSERT_TRUE(ReadFile(r, buf, sizeof buf, &n, NULL));
    EXPECT_EQ(n, 0u) << "the end of the file reads as success with 0 bytes";
    n = 99;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(WriteFile(r, "x", 1, &n, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(n, 0u);
    CloseHandle(r);

    HANDLE w = openout("C:\\out\\in.txt");
    ASSERT_NE(w, INVALID_HANDLE_VALUE);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReadFile(w, buf, sizeof buf, &n, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(w));

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CloseHandle(w));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    n = 99;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(WriteFile(w, "x", 1, &n, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(CloseHandle(GetCurrentProcess())) << "the pseudo handle closes without effect";
}

TEST_F(Files, HandlesStayExactWhenUsedOverAndOverAndClosedByAnyThread) {
    // Two files written in turn: each line reaches its own file.
    HANDLE a = openout("C:\\out\\a.txt"), b = openout("C:\\out\\b.txt");
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(WriteFile(a, "a", 1, &n, NULL));
        ASSERT_TRUE(WriteFile(b, "bb", 2, &n, NULL));
    }
    EXPECT_EQ(qt::readfile(drive + "/out/a.txt"), "aaa");
    EXPECT_EQ(qt::readfile(drive + "/out/b.txt"), "bbbbbb");
    // A file handle just used is still no event log handle.
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CloseEventLog(a));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    ASSERT_TRUE(WriteFile(a, "a", 1, &n, NULL));

    // Closed by another thread after this one used it: the next write fails,
    // and the file's lock went with the close.
    std::thread([&] { EXPECT_TRUE(CloseHandle(a)); }).join();
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(WriteFile(a, "a", 1, &n, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    HANDLE again = openout("C:\\out\\a.txt");
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);

    // Used by another thread, then closed here: that thread's next write
    // fails, and the lock is free before it tries.
    std::promise<void> used, closed;
    std::thread other([&] {
        DWORD m = 0;
        EXPECT_TRUE(WriteFile(b, "x", 1, &m, NULL));
        used.set_value();
        closed.get_future().wait();
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(WriteFile(b, "x", 1, &m, NULL));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    });
    used.get_future().wait();
    EXPECT_TRUE(CloseHandle(b));
    again = openout("C:\\out\\b.txt");
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
    closed.set_value();
    other.join();
    EXPECT_EQ(qt::readfile(drive + "/out/b.txt"), "bbbbbbx");
}

TEST(HandleTable, AClosedHandleIsGoneWhileItsObjectLivesOn) {
    // One object behind two handles (and held here): closing the first,
    // just after it was found, leaves the second and nothing else.
    auto obj = std::make_shared<nt::KernelObject>(nt::ObjectType::Token);
    HANDLE first = nt::addhandle(obj), second = nt::addhandle(obj);
    EXPECT_EQ(nt::findobject(first, nt::ObjectType::Token), obj);
    EXPECT_EQ(nt::findobject(first, nt::ObjectType::File), nullptr);
    EXPECT_TRUE(nt::removehandle(first, nt::ObjectType::Token));
    EXPECT_EQ(nt::findobject(first, nt::ObjectType::Token), nullptr);
    EXPECT_FALSE(nt::removehandle(first, nt::ObjectType::Token));
    EXPECT_EQ(nt::findobject(second, nt::ObjectType::Token), obj);
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_EQ(nt::findobject(second, nt::ObjectType::Token), nullptr);
    EXPECT_EQ(obj.use_count(), 1);
}

TEST_F(Files, SetEndOfFileCutsOrGrowsAtThePosition) {
    qt::writefile(drive + "/out/end.txt", "line one\r\nunfinish");
    HANDLE h = CreateFileA("C:\\out\\end.txt", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_EQ(SetFilePointer(h, 10, NULL, FILE_BEGIN), 10u);
    ASSERT_TRUE(SetEndOfFile(h));
    EXPECT_EQ(SetFilePointer(h, 0, NULL, FILE_END), 10u);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "two\r\n", 5, &n, NULL));
    EXPECT_EQ(qt::readfile(drive + "/out/end.txt"), "line one\r\ntwo\r\n");
    // Past the end, the file grows with zeros up to the position.
    ASSERT_EQ(SetFilePointer(h, 18, NULL, FILE_BEGIN), 18u);
    ASSERT_TRUE(SetEndOfFile(h));
    EXPECT_EQ(qt::readfile(drive + "/out/end.txt"), std::string("line one\r\ntwo\r\n\0\0\0", 18));
    CloseHandle(h);

    HANDLE r = CreateFileA("C:\\out\\end.txt", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(r, INVALID_HANDLE_VALUE);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetEndOfFile(r));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(r);
    EXPECT_EQ(qt::readfile(drive + "/out/end.txt").size(), 18u);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetEndOfFile(r));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(Files, DeleteFileErrorsFollowWindows) {
    qt::writefile(drive + "/out/ro.txt", "x");
    chmod((drive + "/out/ro.txt").c_str(), 0444);
    struct Row {
        const char *path;
        DWORD error;
    } rows[] = {
        {"C:\\out\\none.txt", ERROR_FILE_NOT_FOUND},
        {"C:\\out\\nosuchdir\\x.txt", ERROR_PATH_NOT_FOUND},
        {"C:\\out", ERROR_ACCESS_DENIED},
        {"C:\\out\\ro.txt", ERROR_ACCESS_DENIED},
        {"", ERROR_PATH_NOT_FOUND},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(DeleteFileA(row.path));
        EXPECT_EQ(GetLastError(), row.error);
    }
    EXPECT_TRUE(qt::fileexists(drive + "/out/ro.txt"));
    qt::writefile(drive + "/out/Mixed.TXT", "x");
    EXPECT_TRUE(DeleteFileA("c:\\OUT\\mixed.txt"));
    EXPECT_FALSE(qt::fileexists(drive + "/out/Mixed.TXT"));
}

TEST_F(Files, MoveFileExReplacesOnlyWhenAsked) {
    qt::writefile(drive + "/out/new.tmp", "new");
    qt::writefile(drive + "/out/target.txt", "old");
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(MoveFileExA("C:\\out\\new.tmp", "C:\\out\\target.txt", 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(qt::readfile(drive + "/out/target.txt"), "old");

    HANDLE h = openout("C:\\out\\target.txt");
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(MoveFileExA("C:\\out\\new.tmp", "C:\\out\\target.txt", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED) << "the target is open without delete sharing";
    CloseHandle(h);

    h = openout("C:\\out\\new.tmp");
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(MoveFileExA("C:\\out\\new.tmp", "C:\\out\\target.txt", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    CloseHandle(h);

    EXPECT_TRUE(MoveFileExA("C:\\out\\new.tmp", "C:\\out\\target.txt", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(qt::readfile(drive + "/out/target.txt"), "new");
    EXPECT_FALSE(qt::fileexists(drive + "/out/new.tmp"));

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(MoveFileExA("C:\\out\\new.tmp", "C:\\out\\other.txt", 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(MoveFileExA("C:\\out\\target.txt", "C:\\out\\nosuchdir\\t.txt", 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);

    EXPECT_TRUE(MoveFileExA("C:\\out\\target.txt", "C:\\out\\TARGET.txt", 0)) << "a change of case only";
    EXPECT_EQ(qt::readfile(drive + "/out/TARGET.txt"), "new");
}

TEST_F(Files, TempFileNameHasWindowsShapeAndIsCreated) {
    char name[MAX_PATH];
    UINT id = GetTempFileNameA("C:\\out", "QLG", 0, name);
    ASSERT_NE(id, 0u);
    EXPECT_LE(id, 0xFFFFu);
    char want[64]; // upper-case hexadecimal without leading zeros
    snprintf(want, sizeof want, "C:\\out\\QLG%X.tmp", id);
    EXPECT_STREQ(name, want);
    std::string created = drive + "/out/" + (name + 7);
    EXPECT_EQ(filesize(created), 0) << "the file exists, empty";

    SetLastError(0xdeadbeef);
    HANDLE h = openout(name);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "the name works as a path";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    CloseHandle(h);

    char second[MAX_PATH];
    UINT id2 = GetTempFileNameA("C:\\out\\", "QLG", 0, second);
    EXPECT_NE(id2, id);
    EXPECT_EQ(std::string(second).find("C:\\out\\QLG"), 0u) << "a trailing backslash is not doubled";

    EXPECT_EQ(GetTempFileNameA("C:\\out", "QLGLONGER", 0xabcd, name), 0xABCDu);
    EXPECT_STREQ(name, "C:\\out\\QLGABCD.tmp");
    EXPECT_FALSE(qt::fileexists(drive + "/out/QLGABCD.tmp")) << "a given number creates nothing";
    EXPECT_EQ(GetTempFileNameA("C:\\out\\", "Q", 0x00a, name), 0xAu);
    EXPECT_STREQ(name, "C:\\out\\QA.tmp");
}

TEST_F(Files, TempFileNameErrors) {
    qt::writefile(drive + "/out/plain.txt", "x");
    char name[MAX_PATH] = "untouched";
    struct Row {
        std::string dir;
        DWORD error;
    } rows[] = {
        {"C:\\out\\nosuchdir", ERROR_DIRECTORY},
        {"C:\\out\\plain.txt", ERROR_DIRECTORY},
        {"C:\\" + std::string(244, 'd'), ERROR_BUFFER_OVERFLOW}, // 247 characters
        {"C:\\" + std::string(243, 'd'), ERROR_DIRECTORY},       // 246: checked as a folder
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.dir.size());
        SetLastError(0xdeadbeef);
        EXPECT_EQ(GetTempFileNameA(row.dir.c_str(), "QLG", 0, name), 0u);
        EXPECT_EQ(GetLastError(), row.error);
    }
}

TEST_F(Files, TempFileNameSkipsTakenNamesInAnyCaseAndGivesUpWhenFull) {
    // Every number but 0x1F is taken, in lower case.
    std::string folder = drive + "/out";
    for (unsigned n = 1; n <= 0xFFFF; ++n) {
        if (n == 0x1F) continue;
        char file[32];
        snprintf(file, sizeof file, "/qlg%x.tmp", n);
        int fd = open((folder + file).c_str(), O_WRONLY | O_CREAT, 0666);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    char name[MAX_PATH];
    EXPECT_EQ(GetTempFileNameA("C:\\out", "QLG", 0, name), 0x1Fu);
    EXPECT_STREQ(name, "C:\\out\\QLG1F.tmp");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetTempFileNameA("C:\\out", "QLG", 0, name), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
}

TEST(GetModuleFileNameA, GivesTheExecutablePathAndTruncatesWithNul) {
    EXPECT_NE(GetModuleHandleA(NULL), nullptr);
    char real[4096];
    ssize_t len = readlink("/proc/self/exe", real, sizeof real - 1);
    ASSERT_GT(len, 0);
    real[len] = 0;
    char buf[4096];
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetModuleFileNameA(GetModuleHandleA(NULL), buf, sizeof buf), (DWORD)len);
    EXPECT_STREQ(buf, real);
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);

    char small[8];
    memset(small, 'x', sizeof small);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetModuleFileNameA(NULL, small, sizeof small), 8u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(small), std::string(real, 7)) << "seven characters and a NUL";
    EXPECT_EQ(GetModuleFileNameA(NULL, buf, (DWORD)len + 1), (DWORD)len) << "exactly enough room";
}

TEST(LocalAlloc, FixedBlocksAreUsableAndOtherFlagsRefused) {
    char *p = (char *)LocalAlloc(LMEM_FIXED, 1048500);
    ASSERT_NE(p, nullptr);
    p[0] = 'a';
    p[1048499] = 'z';
    EXPECT_EQ(LocalFree(p), nullptr);
    HLOCAL empty = LocalAlloc(LMEM_FIXED, 0);
    EXPECT_NE(empty, nullptr);
    LocalFree(empty);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(LocalAlloc(0x0002 /* LMEM_MOVEABLE */, 16), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

} // namespace
