# The Debian packages that building, testing and running the helper need.
VEK_PACKAGES=(
  build-essential cmake pkg-config
  libvips-dev libheif-dev libglib2.0-dev libsimdjson-dev libsqlite3-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev
  libgtest-dev libbenchmark-dev
  ffmpeg libvips-tools python3
)
