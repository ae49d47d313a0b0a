#!/usr/bin/env bash
# This program against its peers on loopback: vsftpd for FTP and nginx (sendfile on,
# every connection closed after its response) for HTTP. All three serve the same files
# from one temporary folder, run at the same time, and are measured side by side, round
# by round with the order flipped each round; the table gives medians and the ratio
# this program / peer, with the goal each ratio should meet. The encrypted rows put
# this program's explicit FTPS and HTTPS against a second vsftpd with ssl_enable=YES
# and an ssl server of the same nginx, all three on the certificate this program
# makes at its first start.
#
#   bench/compare-peers.sh [path/to/dravik-server]      (default build/dravik-server)
#
# Runs as root: it installs missing packages with apt, and runs the peers and this
# program under a throw-away user that owns the shared folder, removed at the end.
# ROUNDS (default 3), SMALL_SECONDS (seconds per 4 KiB load run, default 4) and
# NGINX_WORKERS (default auto, as nginx ships) may be set in the environment, and
# ONLY=plain or ONLY=tls to measure one group of rows.
set -euo pipefail

started=$SECONDS
here=$(cd "$(dirname "$0")" && pwd)
binary=$(realpath "${1:-build/dravik-server}")
rounds=${ROUNDS:-3}
small_seconds=${SMALL_SECONDS:-4}
only=${ONLY:-all}

die() { echo "compare-peers: $*" >&2; exit 1; }
[[ $EUID -eq 0 ]] || die "run as root (it installs packages and adds a throw-away user)"
[[ -x $binary ]] || die "no program at $binary (make build first)"
[[ $only == @(all|plain|tls) ]] || die "ONLY is all, plain or tls, not $only"

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
# Encrypted transfers run at a fraction of the plain speed: a quarter of the big file
# keeps their rows to seconds and still dwarfs the handshakes.
cp "$tmp/upload.bin" "$data/mid.bin"
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
Files=3
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
[File.2]
Path=$drive\\mid.bin
Description=mid
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
# Each server's start is followed by its certificate's fingerprint, or by why it has
# none; the peers need the files it made.
for _ in $(seq 100); do
  [[ $(grep -c "TLS certificate SHA-256 fingerprint" "$prog/stdout.log") -ge 2 ]] && break
  grep -q "no encryption until it is mended" "$prog/stdout.log" && break
  sleep 0.1
done
cert=$prog/Servers/tls-cert.pem
key=$prog/Servers/tls-key.pem
[[ $(grep -c "TLS certificate SHA-256 fingerprint" "$prog/stdout.log") -ge 2 && -s $cert && -s $key ]] ||
  die "the program does not offer TLS on both servers: $(cat "$prog/stdout.log" "$prog/stderr.log")"

# --- nginx ----------------------------------------------------------------------------
ng=$tmp/nginx
mkdir "$ng"
nginx_port=$(free_port)
nginx_tls_port=$(free_port)
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
  server {
    listen 127.0.0.1:$nginx_tls_port ssl;
    ssl_certificate $cert;
    ssl_certificate_key $key;
    # Its version's default stops at TLS 1.2; the other two speak 1.3.
    ssl_protocols TLSv1.2 TLSv1.3;
    root $data;
  }
}
EOF
nginx -p "$ng/" -c "$ng/nginx.conf" -g 'daemon off;' 2>>"$ng/error.log" &
nginx_pid=$!
pids+=("$nginx_pid")
wait_port "$nginx_port" nginx "$ng/error.log"
wait_port "$nginx_tls_port" "nginx (ssl)" "$ng/error.log"

# --- vsftpd ---------------------------------------------------------------------------
# Beyond where it listens, what it shares and whom it lets in, vsftpd keeps its own
# defaults. Its listen backlog is 32: of 100 sessions opened at once some
# may be answered with a SYN cookie whose ACK then finds the queue full, and since the
# server speaks first such a session waits for its banner until the client gives up.
# Two of them: one plain, one that requires TLS for logins and data (its defaults once
# ssl_enable is on, require_ssl_reuse among them).
start_vsftpd() {
  local name=$1 port=$2 ssl=$3
  local dir=$tmp/$name
  mkdir -p "$dir/empty"
  cat >"$dir/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
local_root=$data
chroot_local_user=YES
allow_writeable_chroot=YES
secure_chroot_dir=$dir/empty
pam_service_name=vsftpd
userlist_enable=NO
max_clients=0
max_per_ip=0
xferlog_enable=NO
syslog_enable=NO
ssl_enable=$ssl
EOF
  if [[ $ssl == YES ]]; then
    # Its default cipher list names RSA suites only (Debian's build: one ECDHE-RSA
    # suite), none of which can use this ECDSA certificate should a client fall back
    # to TLS 1.2; TLS 1.3 takes no list from this option.
    cat >>"$dir/vsftpd.conf" <<EOF
rsa_cert_file=$cert
rsa_private_key_file=$key
ssl_ciphers=HIGH
EOF
  fi
  # Under a subreaper, so the CPU of sessions orphaned by their parents is still counted.
  python3 "$here/compare_peers.py" --reaper vsftpd "$dir/vsftpd.conf" >"$dir/out.log" 2>&1 &
  vsftpd_pid=$!
  pids+=("$vsftpd_pid")
  wait_port "$port" "vsftpd ($name)" "$dir/out.log"
}
vsftpd_port=$(free_port)
start_vsftpd vsftpd "$vsftpd_port" NO
vsftpd_plain=$vsftpd_port:$vsftpd_pid
vsftpd_tls_port=$(free_port)
start_vsftpd vsftpd-tls "$vsftpd_tls_port" YES
vsftpd_tls=$vsftpd_tls_port:$vsftpd_pid

# --- Measure --------------------------------------------------------------------------
echo "Servers compared on $(date -R), $(nproc) cores, $rounds rounds (medians)"
echo "peers: $(nginx -v 2>&1 | sed 's/.*: //') with ${NGINX_WORKERS:-auto} workers," \
  "vsftpd $(dpkg-query -W -f '${Version}' vsftpd 2>/dev/null); this program: $binary"
echo "GB = 10^9 bytes; ratio = this program / peer (FTP rows: vsftpd, HTTP rows: nginx);"
echo "latency and CPU (server's own seconds per GB moved) are better lower."
echo "FTPS rows: explicit TLS with PROT P, passive; kernel TLS on this machine:" \
  "$(grep -qw tls /proc/sys/net/ipv4/tcp_available_ulp 2>/dev/null && echo yes || echo no)"
# Other work on the machine shares the cores: the load tells how far to trust the figures.
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
python3 "$here/compare_peers.py" --rounds "$rounds" --small-seconds "$small_seconds" \
  --user "$user" --password "$password" --data "$data" --upload "$tmp/upload.bin" \
  --vsftpd "$vsftpd_plain" --nginx "$nginx_port:$nginx_pid" \
  --vsftpd-tls "$vsftpd_tls" --nginx-tls "$nginx_tls_port" --only "$only" \
  --ours-ftp "$ftp_port" --ours-web "$web_port" --ours-pid "$ours" \
  --ours-web-path "/C$data/"
echo
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg); took $((SECONDS - started)) s"
