# End-to-end scenarios: the installed service on the sandbox bus with real
# WireGuard and OpenVPN servers, the stand-in sing-box and Xray engines and
# systemd-resolved, observed as a client sees it.
tessary_sandbox_test(scenario_engines_test SOURCES scenario_engines_test.cc RESOLVED TIMEOUT 300)
tessary_sandbox_test(scenario_interrupt_test SOURCES scenario_interrupt_test.cc RESOLVED TIMEOUT 300)
tessary_sandbox_test(scenario_recovery_test SOURCES scenario_recovery_test.cc RESOLVED TIMEOUT 300)
set_tests_properties(scenario_engines_test scenario_interrupt_test scenario_recovery_test
                     PROPERTIES LABELS "sandbox;threaded")
# The stand-in engines are copied from this build tree into the sandbox.
foreach(test scenario_engines_test scenario_interrupt_test scenario_recovery_test)
  add_dependencies(${test} standin_sing_box standin_xray standin_awg_quick standin_awg
                   standin_amneziawg_go)
endforeach()
