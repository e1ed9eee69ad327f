#!/usr/bin/env bash
# A throwaway OpenSSH server on a loopback port, for the ssh, scp and sftp
# baselines of the benchmark. Nothing is installed and nothing of the system
# changes: Debian's packages are fetched with `apt-get download` and unpacked
# with `dpkg -x` into a cache directory, the keys and the configuration are
# made for the run, and the server is stopped at the end.
#
#   bench/sshd.sh start CACHE WORK   prints "port user ssh_config" on success
#                                    (the client, when unpacked too, is in CACHE/root/usr/bin)
#   bench/sshd.sh stop WORK
#
# Run as a normal user, sshd runs as that user and admits only that user: no
# root needed (commands then run through that user's login shell, start-up
# files included). Run as root, sshd insists on its privilege-separation user
# and directory, which this system need not have: it then runs in a private
# mount namespace (unshare) in which /etc/passwd has that user and /run is an
# empty tmpfs; the login records it may write go to scratch files there too.
set -euo pipefail

cmd=${1:-}
if [ "$cmd" = stop ]; then
  work=$2
  if [ -f "$work/sshd.pid" ]; then
    pid=$(cat "$work/sshd.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    rm -f "$work/sshd.pid"
  fi
  exit 0
fi
[ "$cmd" = start ] || { echo "usage: bench/sshd.sh start CACHE WORK | stop WORK" >&2; exit 1; }
cache=$2
work=$3
mkdir -p "$cache" "$work"

# The server and its sftp subsystem, unpacked once into the cache; the
# client too when the system has none (run.sh then puts it first in PATH).
root=$cache/root
client=0
command -v ssh >/dev/null && command -v ssh-keygen >/dev/null || client=1
[ "$client" -eq 0 ] || export PATH=$root/usr/bin:$PATH
if [ ! -x "$root/usr/sbin/sshd" ] || [ ! -x "$root/usr/lib/openssh/sftp-server" ] ||
   { [ "$client" -eq 1 ] && [ ! -x "$root/usr/bin/ssh" ]; }; then
  (
    cd "$cache"
    rm -f ./*.deb
    packages=(openssh-server openssh-sftp-server)
    [ "$client" -eq 0 ] || packages+=(openssh-client)
    # The server links libwrap, which a system without an SSH server may lack.
    /sbin/ldconfig -p | grep -q 'libwrap\.so\.0' || packages+=(libwrap0)
    if ! apt-get download "${packages[@]}" >/dev/null 2>&1; then
      apt-get update -qq >/dev/null 2>&1 || true
      apt-get download "${packages[@]}" >/dev/null
    fi
    for deb in ./*.deb; do dpkg -x "$deb" root; done
    for deb in ./*.deb; do echo "$(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version)"; done >versions
  ) || { echo "sshd.sh: cannot fetch OpenSSH (apt-get download)" >&2; exit 1; }
fi
libs=$root/usr/lib/x86_64-linux-gnu:$root/lib/x86_64-linux-gnu
if LD_LIBRARY_PATH=$libs ldd "$root/usr/sbin/sshd" | grep -q 'not found'; then
  echo "sshd.sh: sshd lacks libraries:" >&2
  LD_LIBRARY_PATH=$libs ldd "$root/usr/sbin/sshd" | grep 'not found' >&2
  exit 1
fi

user=$(id -un)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
rm -f "$work/host_key" "$work/user_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/user_key"
cp "$work/user_key.pub" "$work/authorized_keys"
chmod 600 "$work/authorized_keys"
cat >"$work/sshd_config" <<EOF
Port $port
ListenAddress 127.0.0.1
HostKey $work/host_key
PidFile $work/sshd.pid
AuthorizedKeysFile $work/authorized_keys
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PubkeyAuthentication yes
PermitRootLogin prohibit-password
AllowUsers $user
StrictModes no
PrintMotd no
PrintLastLog no
MaxSessions 100
MaxStartups 100
Subsystem sftp $root/usr/lib/openssh/sftp-server
EOF
cat >"$work/ssh_config" <<EOF
Host kvsbench-ssh
  HostName 127.0.0.1
  Port $port
  User $user
  IdentityFile $work/user_key
  IdentitiesOnly yes
  StrictHostKeyChecking no
  UserKnownHostsFile /dev/null
  LogLevel ERROR
  BatchMode yes
EOF

sshd=(env LD_LIBRARY_PATH="$libs" "$root/usr/sbin/sshd" -D -e -f "$work/sshd_config")
if [ "$(id -u)" -eq 0 ]; then
  # There, root's login shell is /bin/sh: ssh runs every command through the
  # user's shell, and root's own start-up files (which may be slow) are not
  # what is measured.
  awk -F: -v OFS=: '$1 == "root" { $7 = "/bin/sh" } $1 != "sshd"' /etc/passwd >"$work/passwd"
  echo "sshd:x:65534:65534:sshd privsep:/run/sshd:/usr/sbin/nologin" >>"$work/passwd"
  {
    echo "mount --bind '$work/passwd' /etc/passwd"
    for log in /var/log/wtmp /var/log/btmp /var/log/lastlog; do
      [ -e "$log" ] && : >"$work/$(basename "$log")" && echo "mount --bind '$work/$(basename "$log")' $log"
    done
    echo "mount -t tmpfs -o mode=755 tmpfs /run"
    echo "mkdir -m 755 /run/sshd"
    printf 'exec'
    printf " '%s'" "${sshd[@]}"
    echo
  } >"$work/sshd-start.sh"
  unshare --mount --propagation private sh "$work/sshd-start.sh" >"$work/sshd.log" 2>&1 &
else
  "${sshd[@]}" >"$work/sshd.log" 2>&1 &
fi
echo $! >"$work/sshd.pid"
for _ in $(seq 100); do
  if ssh -F "$work/ssh_config" -o ControlPath=none kvsbench-ssh true 2>/dev/null; then
    echo "$port $user $work/ssh_config"
    exit 0
  fi
  kill -0 "$(cat "$work/sshd.pid")" 2>/dev/null || break
  sleep 0.1
done
echo "sshd.sh: the server did not answer (see $work/sshd.log)" >&2
cat "$work/sshd.log" >&2 || true
"$0" stop "$work"
exit 1
