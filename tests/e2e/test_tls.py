"""HTTPS: certificates are checked unless launcher.conf says insecure_tls."""

from conftest import TestServer, make_self_signed_cert


def test_self_signed_certificate_is_refused_unless_insecure_tls(run, dist, tmp_path):
    dist.publish_engine("1.0.0")
    with TestServer(dist.root, tls=make_self_signed_cert(tmp_path)) as srv:
        run.server_url = srv.url("")
        r = run("list", "engine")
        assert (r.rc, r.out) == (1, ""), r
        assert r.err.startswith(f"GET {run.server_url}dist/engine/manifest.json failed: "), r

        run.write_config("insecure_tls = true\n")
        r = run("list", "engine")
        assert (r.rc, r.err) == (0, ""), r
        assert r.out.startswith("Channel 'stable' of engine:\n\n  1.0.0 "), r

        run.write_config("insecure_tls = maybe\n")
        assert run("list", "engine").rc == 1
