# Facts about this release that the packages, the metainfo and the manual page share. The version
# itself is project(VERSION) in the top CMakeLists.txt.

# The day the version of project(VERSION) was released; change the two together.
set(TARVO_RELEASE_DATE 2026-12-08)
set(TARVO_HOMEPAGE https://github.com/tarvo/tarvotcpc)
set(TARVO_SCREENSHOT_URL https://raw.githubusercontent.com/tarvo/tarvotcpc/main/docs/screenshot.png)
set(TARVO_MAINTAINER "The tarvo developers <tarvo@users.noreply.github.com>")
set(TARVOTCPC_APP_ID io.github.tarvo.tarvotcpc)

# The release date in the forms a manual page and a Debian changelog want.
execute_process(COMMAND env LC_ALL=C date -u -d "${TARVO_RELEASE_DATE}" "+%B %Y"
  OUTPUT_VARIABLE TARVO_RELEASE_MONTH OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND env LC_ALL=C date -u -R -d "${TARVO_RELEASE_DATE}"
  OUTPUT_VARIABLE TARVO_RELEASE_RFC2822 OUTPUT_STRIP_TRAILING_WHITESPACE)
