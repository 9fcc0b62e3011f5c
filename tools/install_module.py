"""`make install HOST=DIR`: the built module and its stub into DIR/routes/ of a host application;
`make uninstall HOST=DIR`: those two files out of it again.

    python tools/install_module.py MAKE_PID MODULE_DIR
    python tools/install_module.py --uninstall MAKE_PID

with HOST in the environment, and CALLER_PWD: the PWD that make was started with.

Each file is written under a temporary name in the target folder and then renamed over the old
one, as pip and install(1) do. A process that has the old module loaded keeps mapping the old
file, which lives on until that process lets it go, and no importer ever sees a half-written
file. Rewriting the loaded file in place would pull its pages from under the running process.

A relative HOST is taken from the directory where make was called. Make has left that directory
when it was given -C, so then the caller's PWD (as a shell sets it) stands for it, when following the -C options from
there leads to where make runs (with absolute -C options nothing can be checked, and PWD is taken
as it is).

Uninstalling removes the module and the stub under the names install gives them, and the
temporary files of an install that was stopped before its rename, and nothing else: the host's
own files stay, and so does routes/ unless removing them left it empty (as when install made it).
"""
import contextlib
import os
import re
import sys
import sysconfig
import tempfile

COMMAND = "make install"  # or "make uninstall", as main() finds it
# GNU make's short options whose argument may be the next word, and the long ones.
SHORT_WITH_ARGUMENT = "fIoWE"
LONG_WITH_ARGUMENT = ("file", "makefile", "include-dir", "old-file", "assume-old", "what-if",
                      "new-file", "assume-new", "eval")


def fail(message, status=1):
    print(f"{COMMAND}: {message}", file=sys.stderr)
    sys.exit(status)


def directory_options(args):
    """The -C/--directory arguments among make's command-line arguments, in order."""
    dirs = []
    words = iter(args)
    for word in words:
        if word == "--":
            break
        if word.startswith("--"):
            name, has_value, value = word[2:].partition("=")
            if len(name) >= 2 and "directory".startswith(name):  # --di ... --directory
                dirs.append(value if has_value else next(words, ""))
            elif not has_value and any(o.startswith(name) for o in LONG_WITH_ARGUMENT):
                next(words, None)
        elif word.startswith("-") and len(word) > 1:
            for i, letter in enumerate(word[1:], 2):
                if letter == "C":
                    dirs.append(word[i:] or next(words, ""))
                    break
                if letter in SHORT_WITH_ARGUMENT:
                    if not word[i:]:
                        next(words, None)
                    break
                if letter in "jlO":  # an optional argument, attached only
                    break
    return dirs


def start_directory(make_pid):
    """The directory where make was called."""
    here = os.getcwd()
    try:
        with open(f"/proc/{make_pid}/cmdline", "rb") as f:
            args = [os.fsdecode(a) for a in f.read().split(b"\0")[1:-1]]
    except OSError:  # no /proc: the shell's word for it, if any
        return os.environ.get("CALLER_PWD") or here
    dirs = directory_options(args)
    if not dirs:
        return here
    pwd = os.environ.get("CALLER_PWD", "")
    if os.path.isabs(pwd):
        with contextlib.suppress(OSError):
            if os.path.samefile(os.path.join(pwd, *dirs), here):
                return pwd
    fail(f"make ran with -C {' '.join(dirs)!r} and PWD ({pwd or 'unset'}) is not where it was "
         "called; give HOST as an absolute path")


def replace(source, target, mode):
    """Copies source to target: a temporary file beside target, renamed over it."""
    folder, name = os.path.split(target)
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "wb") as out, open(source, "rb") as data:
            while chunk := data.read(1 << 20):
                out.write(chunk)
            out.flush()
            os.fchmod(out.fileno(), mode)
            os.fsync(out.fileno())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def sync_folder(folder):
    """Makes the renames and removals in folder durable."""
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def host_routes(make_pid):
    """HOST/routes, with HOST as make was given it."""
    host = os.environ.get("HOST", "")
    if not host:
        fail(f"usage: {COMMAND} HOST=/path/to/host-app", 2)
    if not os.path.isabs(host):
        host = os.path.join(start_directory(make_pid), host)
    host = os.path.normpath(host)
    if not os.path.isdir(host):
        fail(f"HOST={os.environ['HOST']}: {host} is not a directory")
    return os.path.join(host, "routes")


def installed_names(routes, names):
    """The files in routes that install writes: names, and the temporary files that replace()
    leaves of them when its process is killed before the rename."""
    temporary = re.compile("|".join(rf"\.{re.escape(name)}\.[a-z0-9_]+\.tmp" for name in names))
    try:
        present = os.listdir(routes)
    except (FileNotFoundError, NotADirectoryError):
        return []
    return sorted(name for name in present if name in names or temporary.fullmatch(name))


def uninstall(routes, names):
    removed = []
    try:
        for name in installed_names(routes, names):
            os.unlink(os.path.join(routes, name))
            removed.append(name)
        if not removed:
            print(f"nothing to remove in {routes}")
            return
        sync_folder(routes)
        with contextlib.suppress(OSError):  # not empty: the host's own files are in it
            os.rmdir(routes)
    except OSError as exc:
        fail(str(exc))
    print(f"removed {', '.join(removed)} from {routes}"
          + ("" if os.path.isdir(routes) else ", and the folder, left empty"))


def main():
    global COMMAND
    args = sys.argv[1:]
    uninstalling = args[:1] == ["--uninstall"]
    if uninstalling:
        COMMAND, args = "make uninstall", args[1:]
    if len(args) != (1 if uninstalling else 2):
        fail(f"usage: {sys.argv[0]} [--uninstall] MAKE_PID [MODULE_DIR]", 2)
    routes = host_routes(args[0])
    module = "free_models" + sysconfig.get_config_var("EXT_SUFFIX")
    if uninstalling:
        uninstall(routes, [module, "free_models.pyi"])
        return
    files = [(os.path.join(args[1], module), 0o755),
             (os.path.join("routes", "free_models.pyi"), 0o644)]
    try:
        os.makedirs(routes, exist_ok=True)
        for source, mode in files:
            replace(source, os.path.join(routes, os.path.basename(source)), mode)
        sync_folder(routes)  # the renames themselves
    except OSError as exc:
        fail(str(exc))
    print(f"installed {module} and free_models.pyi into {routes}")


if __name__ == "__main__":
    main()
