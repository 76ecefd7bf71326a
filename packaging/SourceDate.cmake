# Read by cpack before it makes each package: the archives' file times are SOURCE_DATE_EPOCH,
# which is the time the build stands for (CMakeLists.txt) unless the caller set it.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    set(ENV{SOURCE_DATE_EPOCH} "${CPACK_ORLO_SOURCE_DATE_EPOCH}")
endif()
