#!/bin/sh
# Makes sure the build dependencies are there: installs the missing ones
# with apt-get when run as root, otherwise prints the line that does.
missing=""
command -v g++ >/dev/null 2>&1 || missing="$missing g++"
command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
command -v make >/dev/null 2>&1 || missing="$missing make"
command -v pkg-config >/dev/null 2>&1 || missing="$missing pkg-config"
[ -f /usr/include/gtest/gtest.h ] || missing="$missing libgtest-dev"
# systemd notification and the /metrics endpoint.
[ -f /usr/include/systemd/sd-daemon.h ] || missing="$missing libsystemd-dev"
[ -f /usr/include/prometheus/text_serializer.h ] || missing="$missing prometheus-cpp-dev"
[ -f /usr/include/CivetServer.h ] || missing="$missing libcivetweb-dev"
# The retention job's compression.
[ -f /usr/include/zstd.h ] || missing="$missing libzstd-dev"
[ -f /usr/include/zlib.h ] || missing="$missing zlib1g-dev"
# TLS for syslog over TCP.
[ -f /usr/include/openssl/ssl.h ] || missing="$missing libssl-dev"
# The NATS JetStream client ([Stream], logserver-archive).
[ -f /usr/include/nats/nats.h ] || missing="$missing libnats-dev"
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  echo "Installing:$missing"
  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
  exit $?
fi
echo "Missing build dependencies. Install them with:" >&2
echo "  sudo apt-get install -y$missing" >&2
exit 1
