# The Debian packages that building, testing and running the helper need.
# e2fsprogs, dosfstools and fusefat make and mount the drives of the tests
# (fusefat where the kernel has no vfat).
VEK_PACKAGES=(
  build-essential cmake pkg-config
  libvips-dev libheif-dev libglib2.0-dev libsimdjson-dev libsqlite3-dev libjpeg-dev libexif-dev libtiff-dev
  libraw-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev
  libgtest-dev libbenchmark-dev clang libclang-rt-14-dev e2fsprogs
  dosfstools fusefat
  ffmpeg libvips-tools python3 libimage-exiftool-perl
  # the Trash portal's tests: a private session bus and the real portal on it
  dbus-daemon xdg-desktop-portal
  # scripts/check_package.sh: a source copy, the package build, its checker
  git dpkg-dev debhelper lintian
)
