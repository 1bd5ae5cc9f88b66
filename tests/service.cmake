# The service core: pure pieces on the host, the installed service on the
# sandbox's private bus with the real polkitd, and its threads.
tessary_unit_test(service_unit_test SOURCES service_unit_test.cc LIBS tessary_service_core)
tessary_unit_test(bus_stream_test SOURCES bus_stream_test.cc LIBS tessary_bus_stream)

tessary_sandbox_test(service_bus_test SOURCES service_bus_test.cc TIMEOUT 300)
tessary_sandbox_test(service_lifecycle_test SOURCES service_lifecycle_test.cc TIMEOUT 300)

tessary_sandbox_test(service_workers_test SOURCES service_workers_test.cc RESOLVED TIMEOUT 600)
set_tests_properties(service_workers_test service_bus_test PROPERTIES LABELS "sandbox;threaded")

