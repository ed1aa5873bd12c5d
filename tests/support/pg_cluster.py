"""A throwaway PostgreSQL cluster for a test run: made with the server's
own initdb in a temporary folder, listening on a Unix socket in that
folder only (no TCP), fsync off, stopped and removed at the end. The server
refuses to run as root: run by root (as CI runs the suite), it runs as
nobody, in a folder nobody owns.

As a program it runs a command against such a cluster, with QUILLON_QUEUE
set to its URL; the cluster flushes its commits to disk as a real server
does (--no-fsync: not):
    python3 tests/support/pg_cluster.py [--no-fsync] [--max-connections N]
        COMMAND [ARGS...]
"""
import glob
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile

PORT = 5432  # names the socket file only: the folder is the cluster's own


def server_programs():
    """The folder of the newest installed server's programs."""
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"),
                   key=lambda p: int(p.split("/")[4]))
    if not found:
        raise RuntimeError(
            "the PostgreSQL server is not installed (no /usr/lib/postgresql/"
            "*/bin/initdb): scripts/install-deps.sh --test installs it")
    return os.path.dirname(found[-1])


def server_environment():
    """The test's environment without what a sanitized test preloads: the
    server's programs are not ours, and initdb hangs with the sanitizers'
    runtimes loaded into it."""
    return {k: v for k, v in os.environ.items()
            if k != "LD_PRELOAD" and not k.endswith("SAN_OPTIONS")}


class PgCluster:
    def __init__(self, fsync=False, port=PORT, settings="", hba=""):
        """`settings`: lines for postgresql.conf; `hba`: rules that come
        before the others (the first that fits is taken)."""
        self.port = port
        self.bin = server_programs()
        self.folder = tempfile.mkdtemp(prefix="quillon_pg_")
        self.data = os.path.join(self.folder, "data")
        self.as_user = []
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            os.chown(self.folder, nobody.pw_uid, nobody.pw_gid)
            self.as_user = ["runuser", "-u", "nobody", "--"]
        try:
            self._server("initdb", "-D", self.data, "-U", "quillon",
                         "-A", "trust", "-E", "UTF8", "--locale=C",
                         "--no-sync")
            with open(os.path.join(self.data, "postgresql.conf"), "a") as f:
                f.write("listen_addresses = ''\n"
                        "unix_socket_directories = '%s'\n"
                        "port = %d\n" % (self.folder, port) + settings)
                if not fsync:
                    f.write("fsync = off\nfull_page_writes = off\n")
            rules = os.path.join(self.data, "pg_hba.conf")
            with open(rules) as f:
                others = f.read()
            with open(rules, "w") as f:
                f.write(hba + others)
            self._pg_ctl("start")
        except BaseException:
            self.stop()
            raise

    def _server(self, program, *args):
        result = subprocess.run(
            [*self.as_user, os.path.join(self.bin, program), *args],
            capture_output=True, timeout=60, cwd=self.folder,
            env=server_environment())
        if result.returncode != 0:
            raise RuntimeError("%s failed: %s" % (
                program, (result.stdout + result.stderr).decode(
                    errors="replace")))

    def _pg_ctl(self, action, *args):
        self._server("pg_ctl", "-D", self.data, "-l",
                     os.path.join(self.folder, "server.log"), "-w", action,
                     *args)

    def url(self, database="postgres", user="quillon"):
        return "host=%s port=%d user=%s dbname=%s" % (
            self.folder, self.port, user, database)

    def sql(self, text, database="postgres", user="quillon"):
        """Runs `text` with psql as `user`; its output, unaligned, without
        headers."""
        result = subprocess.run(
            [os.path.join(self.bin, "psql"), "-X", "-A", "-t", "-q",
             "-v", "ON_ERROR_STOP=1", "-d", self.url(database, user), "-c",
             text], capture_output=True, timeout=30, env=server_environment())
        if result.returncode != 0:
            raise RuntimeError("psql: " + result.stderr.decode())
        return result.stdout.decode().strip()

    def database(self, name):
        """A new, empty database of the cluster; its URL."""
        self.sql("CREATE DATABASE %s" % name)
        return self.url(name)

    def restart(self):
        self._pg_ctl("restart", "-m", "fast")

    def pause(self):
        """Stops the server, keeping its data: start() brings it back."""
        self._pg_ctl("stop", "-m", "fast")

    def start(self):
        self._pg_ctl("start")

    def crash(self):
        """Stops the server with no shutdown at all, as a crash does (what
        its log had not written is lost), and starts it again."""
        self._pg_ctl("stop", "-m", "immediate")
        self._pg_ctl("start")

    def hang(self, resume=False):
        """Stops every process of the server (SIGSTOP): it answers nothing,
        and its sockets stay open; resume=True continues them."""
        with open(os.path.join(self.data, "postmaster.pid")) as f:
            main = int(f.readline())
        pids = [main]
        for entry in os.listdir("/proc"):
            try:
                with open("/proc/%s/stat" % entry) as f:
                    parent = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                continue
            if parent == main:
                pids.append(int(entry))
        for pid in pids:
            os.kill(pid, signal.SIGCONT if resume else signal.SIGSTOP)

    def stop(self):
        if os.path.exists(os.path.join(self.data, "postmaster.pid")):
            subprocess.run([*self.as_user, os.path.join(self.bin, "pg_ctl"),
                            "-D", self.data, "-m", "immediate", "-w", "stop"],
                           capture_output=True, timeout=60,
                           env=server_environment())
        shutil.rmtree(self.folder, ignore_errors=True)


if __name__ == "__main__":
    args = sys.argv[1:]
    fsync, settings = True, ""
    while args[:1] in (["--no-fsync"], ["--max-connections"]):
        if args[0] == "--no-fsync":
            fsync, args = False, args[1:]
        else:
            settings += "max_connections = %d\n" % int(args[1])
            args = args[2:]
    if not args:
        sys.exit(__doc__)
    cluster = PgCluster(fsync, settings=settings)
    try:
        code = subprocess.run(args, env=dict(os.environ,
                                             QUILLON_QUEUE=cluster.url())
                              ).returncode
    finally:
        cluster.stop()
    sys.exit(code)
