// stfsctl mkimage PATH --size SIZE: a sparse disk image.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "json.h"

int CmdMkimage(Invocation& inv) {
  std::string path, sizeText;
  bool force = false;
  for (size_t i = 0; i < inv.args.size(); ++i) {
    const std::string& a = inv.args[i];
    if (a == "--help") {
      printf("usage: stfsctl mkimage PATH --size SIZE [--force]\n"
             "Creates a sparse disk image of SIZE bytes (2G, 512M, 64K ...). An existing file\n"
             "is kept unless --force is given.\n");
      return kExitOk;
    }
    if (TakeValue(inv.args, i, "--size", &sizeText)) continue;
    if (a == "--force") {
      force = true;
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("mkimage", "unknown option '" + a + "'");
    } else if (path.empty()) {
      path = a;
    } else {
      return UsageError("mkimage", "unexpected argument '" + a + "'");
    }
  }
  uint64_t size = 0;
  if (path.empty()) return UsageError("mkimage", "expects PATH");
  if (sizeText.empty() || !ParseSize(sizeText, &size))
    return UsageError("mkimage", "expects --size SIZE (like 2G or 512M)");
  if (size % 512 != 0) return UsageError("mkimage", "SIZE must be a multiple of 512 bytes");

  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (force ? O_TRUNC : O_EXCL);
  int fd = open(path.c_str(), flags, 0644);
  if (fd < 0)
    return Fail(inv.global, -99,
                "cannot create " + path + ": " + strerror(errno) +
                    (errno == EEXIST ? " (use --force to replace it)" : ""));
  int rc = ftruncate(fd, static_cast<off_t>(size));
  int err = errno;
  close(fd);
  if (rc != 0) {
    unlink(path.c_str());
    return Fail(inv.global, -99, "cannot size " + path + ": " + strerror(err));
  }
  if (inv.global.json) {
    JsonWriter w;
    w.BeginObject().Field("path", path).Field("size", size).EndObject();
    PrintJson(w.str());
  } else {
    printf("%s: sparse image of %llu bytes\n", path.c_str(), static_cast<unsigned long long>(size));
  }
  return kExitOk;
}
