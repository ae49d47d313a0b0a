#!/usr/bin/env bash
# This program against its peers on loopback: vsftpd for FTP and nginx (sendfile on,
# every connection closed after its response) for HTTP. All three serve the same files
# from one temporary folder, run at the same time, and are measured side by side, round
# by round with the order flipped each round; the table gives medians and the ratio
# this program / peer, with the goal each ratio should meet.
#
#   bench/compare-peers.sh [path/to/dravik-server]      (default build/dravik-server)
#
# Runs as root: it installs missing packages with apt, and runs the peers and this
# program under a throw-away user that owns the shared folder, removed at the end.
# ROUNDS (default 3), SMALL_SECONDS (seconds per 4 KiB load run, default 4) and
# NGINX_WORKERS (default auto, as nginx ships) may be set in the environment.
set -euo pipefail

started=$SECONDS
here=$(cd "$(dirname "$0")" && pwd)
binary=$(realpath "${1:-build/dravik-server}")
rounds=${ROUNDS:-3}
small_seconds=${SMALL_SECONDS:-4}

die() { echo "compare-peers: $*" >&2; exit 1; }
[[ $EUID -eq 0 ]] || die "run as root (it installs packages and adds a throw-away user)"
[[ -x $binary ]] || die "no program at $binary (make build first)"

tmp=""
user=""
policy_made=""
pids=()

cleanup() {
  set +e
  local pid child
  for pid in "${pids[@]}"; do
    # vsftpd's sessions are children of its listener: end them by id too.
    for child in $(pgrep -P "$pid" 2>/dev/null); do kill "$child" 2>/dev/null || true; done
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [[ -n $policy_made ]]; then rm -f /usr/sbin/policy-rc.d; fi
  if [[ -n $user ]]; then userdel "$user" 2>/dev/null; fi
  if [[ -n $tmp ]]; then rm -rf "$tmp"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- Packages ------------------------------------------------------------------------
need=()
[[ -x /usr/sbin/nginx ]] || need+=(nginx-light)
[[ -x /usr/sbin/vsftpd ]] || need+=(vsftpd)
command -v wrk >/dev/null || need+=(wrk)
command -v curl >/dev/null || need+=(curl)
command -v lftp >/dev/null || need+=(lftp)
if ((${#need[@]})); then
  echo "installing ${need[*]}..." >&2
  before=" $(pgrep -x 'nginx|vsftpd' | tr '\n' ' ' || true) "
  # The packages would start their system services on the standard ports: forbid it.
  if [[ ! -e /usr/sbin/policy-rc.d ]]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    policy_made=1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -q "${need[@]}" >/dev/null ||
    { apt-get update -q >/dev/null && apt-get install -y -q "${need[@]}" >/dev/null; } ||
    die "apt-get install ${need[*]} failed"
  if [[ -n $policy_made ]]; then rm -f /usr/sbin/policy-rc.d; policy_made=""; fi
  # Whatever the install started anyway (an init system that ignores the policy).
  for pid in $(pgrep -x 'nginx|vsftpd'); do
    [[ $before == *" $pid "* ]] || kill "$pid" 2>/dev/null || true
  done
fi

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_port() {
  local port=$1 what=$2 log=$3
  for _ in $(seq 150); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    sleep 0.1
  done
  die "$what did not start listening on $port: $(cat "$log")"
}

# --- Files and the user that owns them -----------------------------------------------
tmp=$(mktemp -d /tmp/compare-peers.XXXXXX)
chmod 755 "$tmp"
data=$tmp/data
mkdir "$data"
avail=$(df -k --output=avail "$tmp" | tail -1)
((avail > 3 * 1024 * 1024)) || die "needs 3 GiB free in /tmp"
echo "making the files..." >&2
# Random content: a sparse or repeating file would make reads unrealistically cheap.
head -c 1G /dev/urandom >"$data/big.bin"
head -c 4K /dev/urandom >"$data/small.bin"
head -c 1M /dev/urandom >"$data/one.bin"
head -c 256M "$data/big.bin" >"$tmp/upload.bin"
cat "$data/big.bin" >/dev/null  # every server then reads it from the page cache

user=cmpbench$$
password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
useradd -M -U -d "$data" -s /bin/sh "$user" || { user=""; die "could not add a user"; }
# SHA-512 rather than a deliberately slow hash, so vsftpd's logins cost what they usually do.
echo "$user:$password" | chpasswd -c SHA512
uid=$(id -u "$user")
gid=$(id -g "$user")
chown -R "$user:$user" "$data"
chmod 644 "$data"/*

# --- This program ---------------------------------------------------------------------
ftp_port=$(free_port)
web_port=$(free_port)
prog=$tmp/program
mkdir -p "$prog/Servers"
cp "$binary" "$prog/dravik-server"
drive=C:${data//\//\\}
cat >"$prog/Servers/260101120000001.server" <<EOF
[Info]
Name=Peers FTP
Banner=
Type=0
Directories=1
Files=0
Username=$user
Password=$password
Port=$ftp_port
Limit=0
Active=1
Multiple=1
Tray=0
MaxPerAddress=0
[Directory.0]
Path=$drive
Description=bench
AccessR=1
AccessW=1
Recursive=1
EOF
cat >"$prog/Servers/260101120000002.server" <<EOF
[Info]
Name=Peers web
Banner=
Type=1
Directories=0
Files=2
Username=
Password=
Port=$web_port
Limit=0
Active=1
Multiple=1
Tray=0
MaxPerAddress=0
[File.0]
Path=$drive\\big.bin
Description=big
[File.1]
Path=$drive\\small.bin
Description=small
EOF
chown -R "$user:$user" "$prog"
# Its own user gives it its own single-instance lock: a copy run by root elsewhere on
# the machine would otherwise take this one over.
(cd "$prog" && exec env -u DISPLAY -u WAYLAND_DISPLAY \
  setpriv --reuid="$uid" --regid="$gid" --clear-groups ./dravik-server \
  >"$prog/stdout.log" 2>"$prog/stderr.log") &
ours=$!
pids+=("$ours")
for _ in $(seq 150); do
  [[ $(grep -c "Server Started on" "$prog/stdout.log") -ge 2 ]] && break
  kill -0 "$ours" 2>/dev/null || break
  sleep 0.1
done
[[ $(grep -c "Server Started on" "$prog/stdout.log") -ge 2 ]] ||
  die "the program did not start both servers: $(cat "$prog/stdout.log" "$prog/stderr.log")"

# --- nginx ----------------------------------------------------------------------------
ng=$tmp/nginx
mkdir "$ng"
nginx_port=$(free_port)
# Each temp path nginx knows must be ours: it would otherwise take over the system's.
temp_paths="client_body_temp_path $ng/body;"
built=$(nginx -V 2>&1)
for module in proxy fastcgi uwsgi scgi; do
  [[ $built == *"--without-http_${module}_module"* ]] ||
    temp_paths+=" ${module}_temp_path $ng/$module;"
done
cat >"$ng/nginx.conf" <<EOF
user $user;
worker_processes ${NGINX_WORKERS:-auto};
pid $ng/nginx.pid;
error_log $ng/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 0;
  default_type application/octet-stream;
  $temp_paths
  server {
    listen 127.0.0.1:$nginx_port;
    root $data;
  }
}
EOF
nginx -p "$ng/" -c "$ng/nginx.conf" -g 'daemon off;' 2>>"$ng/error.log" &
nginx_pid=$!
pids+=("$nginx_pid")
wait_port "$nginx_port" nginx "$ng/error.log"

# --- vsftpd ---------------------------------------------------------------------------
vs=$tmp/vsftpd
mkdir -p "$vs/empty"
vsftpd_port=$(free_port)
# Beyond where it listens, what it shares and whom it lets in, vsftpd keeps its own
# defaults. Its listen backlog is 32: of 100 sessions opened at once some
# may be answered with a SYN cookie whose ACK then finds the queue full, and since the
# server speaks first such a session waits for its banner until the client gives up.
cat >"$vs/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$vsftpd_port
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
local_root=$data
chroot_local_user=YES
allow_writeable_chroot=YES
secure_chroot_dir=$vs/empty
pam_service_name=vsftpd
userlist_enable=NO
max_clients=0
max_per_ip=0
xferlog_enable=NO
syslog_enable=NO
ssl_enable=NO
EOF
# Under a subreaper, so the CPU of sessions orphaned by their parents is still counted.
python3 "$here/compare_peers.py" --reaper vsftpd "$vs/vsftpd.conf" >"$vs/out.log" 2>&1 &
vsftpd_pid=$!
pids+=("$vsftpd_pid")
wait_port "$vsftpd_port" vsftpd "$vs/out.log"

# --- Measure --------------------------------------------------------------------------
echo "Servers compared on $(date -R), $(nproc) cores, $rounds rounds (medians)"
echo "peers: $(nginx -v 2>&1 | sed 's/.*: //') with ${NGINX_WORKERS:-auto} workers," \
  "vsftpd $(dpkg-query -W -f '${Version}' vsftpd 2>/dev/null); this program: $binary"
echo "GB = 10^9 bytes; ratio = this program / peer (FTP rows: vsftpd, HTTP rows: nginx);"
echo "latency and CPU (server's own seconds per GB moved) are better lower."
# Other work on the machine shares the cores: the load tells how far to trust the figures.
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
python3 "$here/compare_peers.py" --rounds "$rounds" --small-seconds "$small_seconds" \
  --user "$user" --password "$password" --data "$data" --upload "$tmp/upload.bin" \
  --vsftpd "$vsftpd_port:$vsftpd_pid" --nginx "$nginx_port:$nginx_pid" \
  --ours-ftp "$ftp_port" --ours-web "$web_port" --ours-pid "$ours" \
  --ours-web-path "/C$data/"
echo
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg); took $((SECONDS - started)) s"
