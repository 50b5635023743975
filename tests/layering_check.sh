#!/bin/sh
# The layering rules of the tree, checked on every source file:
#  - only platform/ includes Qt, PortAudio, libsndfile, libsamplerate, ALSA
#    or POSIX headers; apps/, station/, decoder/, link/ and dsp/ use the
#    platform layer's services instead;
#  - platform/core/ is backend-neutral: no system or library header, and
#    nothing of a backend folder (platform/qt, portaudio, posix, filedev);
#    the public headers in platform/ itself likewise;
#  - dsp/ depends on nothing but the C++ standard library and itself (and
#    the compile-time Windows-1251 literals of platform/cp1251.h, which is
#    header-only standard C++).
# Prints every offending line and fails when there is one.
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2
status=0

system='Q[A-Za-z]*|portaudio\.h|sndfile\.hh?|samplerate\.h|alsa/.*|unistd\.h|fcntl\.h|poll\.h|signal\.h|spawn\.h|pthread\.h|semaphore\.h|dirent\.h|errno\.h|termios\.h|dlfcn\.h|netdb\.h|syslog\.h|pwd\.h|grp\.h|sys/.*|netinet/.*|arpa/.*|net/.*'
found=$(grep -rnE "^[[:space:]]*#[[:space:]]*include[[:space:]]*<($system)>" \
    --include='*.cpp' --include='*.h' apps station decoder link dsp)
if [ -n "$found" ]; then
    echo "system headers outside platform/:"
    echo "$found"
    status=1
fi

found=$({ grep -rnE "^[[:space:]]*#[[:space:]]*include[[:space:]]*(<($system)>|\"platform/(qt|portaudio|posix|filedev)/)" \
    --include='*.cpp' --include='*.h' platform/core; grep -nE "^[[:space:]]*#[[:space:]]*include[[:space:]]*(<($system)>|\"platform/(qt|portaudio|posix|filedev)/)" platform/*.h; })
if [ -n "$found" ]; then
    echo "backend headers in platform/'s core or public headers:"
    echo "$found"
    status=1
fi

found=$(grep -rnE '^[[:space:]]*#[[:space:]]*include' --include='*.cpp' --include='*.h' dsp |
    grep -vE '#[[:space:]]*include[[:space:]]*(<[a-z_]+>|"dsp/[a-z_]+\.h"|"platform/cp1251\.h")')
if [ -n "$found" ]; then
    echo "dsp/ includes beyond the standard library:"
    echo "$found"
    status=1
fi

[ $status -eq 0 ] && echo "layering: ok"
exit $status
