"""The wheel carries korvel_dll for one platform, so it is tagged for that
platform, not "any": the one build_wheel.sh names (--platform-tags,
dot-separated: manylinux_2_17_x86_64.manylinux2014_x86_64, win_amd64),
else this machine's (py3-none-linux_x86_64)."""

from setuptools import Distribution, setup
from wheel.bdist_wheel import bdist_wheel


class PlatformDistribution(Distribution):
    def has_ext_modules(self) -> bool:
        return True


class PlatformWheel(bdist_wheel):
    # --plat-name would turn the dots between compressed tags into "_".
    user_options = bdist_wheel.user_options + [
        ("platform-tags=", None, "the wheel's platform tags, dot-separated")]

    def initialize_options(self) -> None:
        super().initialize_options()
        self.platform_tags = None

    def get_tag(self) -> tuple[str, str, str]:
        return "py3", "none", self.platform_tags or super().get_tag()[2]


setup(distclass=PlatformDistribution, cmdclass={"bdist_wheel": PlatformWheel})
