# Tests of the settings store, the single-instance guard, the service glue, the event loop,
# files, the metrics counters, the service log and the TLS wrapper.
kestrel_add_test(platform_settings_test
  ${CMAKE_SOURCE_DIR}/platform/settings_test.cpp
  LIBS kestrel_platform LABELS platform)
kestrel_add_test(platform_instance_guard_test
  ${CMAKE_SOURCE_DIR}/platform/instance_guard_test.cpp
  LIBS kestrel_platform LABELS platform)
kestrel_add_test(platform_service_test
  ${CMAKE_SOURCE_DIR}/platform/service_test.cpp
  LIBS kestrel_platform LABELS platform)
kestrel_add_test(platform_event_loop_test
  ${CMAKE_SOURCE_DIR}/platform/event_loop_test.cpp
  LIBS kestrel_platform LABELS platform)
kestrel_add_test(platform_files_test
  ${CMAKE_SOURCE_DIR}/platform/files_test.cpp
  LIBS kestrel_platform LABELS platform)
kestrel_add_test(platform_metrics_test
  ${CMAKE_SOURCE_DIR}/platform/metrics_test.cpp
  LIBS kestrel_platform LABELS platform)
kestrel_add_test(platform_journal_test
  ${CMAKE_SOURCE_DIR}/platform/journal_test.cpp
  LIBS kestrel_platform LABELS platform)
kestrel_add_test(platform_tls_test
  ${CMAKE_SOURCE_DIR}/platform/tls_test.cpp
  LIBS kestrel_platform LABELS platform)
