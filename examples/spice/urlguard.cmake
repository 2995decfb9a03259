# The URL guard a host puts before its players: Qt Core and Network only, no engine. Included by
# a host's build (include(path/to/urlguard.cmake)); links as h5redir_urlguard.
find_package(Qt5 5.15 REQUIRED COMPONENTS Network)
add_library(h5redir_urlguard STATIC
    "${CMAKE_CURRENT_LIST_DIR}/urlguard.cpp" "${CMAKE_CURRENT_LIST_DIR}/urlguard.h")
target_include_directories(h5redir_urlguard PUBLIC "${CMAKE_CURRENT_LIST_DIR}")
target_link_libraries(h5redir_urlguard PUBLIC Qt5::Network)
