# tessaryvpn-dns against the real systemd-resolved, with recording stand-ins
# from tests/standins/dns for the exact command sequence.
tessary_sandbox_test(dns_helper_test SOURCES dns_helper_test.cc RESOLVED TIMEOUT 300)
