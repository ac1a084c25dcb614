# Sourced by the scripts that run dotnet: no telemetry, banner or first-run
# work, and no build server or MSBuild node left running once a command ends.
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
export DOTNET_GENERATE_ASPNET_CERTIFICATE=false DOTNET_CLI_WORKLOAD_UPDATE_NOTIFY_DISABLE=1
export DOTNET_CLI_USE_MSBUILD_SERVER=0 MSBUILDDISABLENODEREUSE=1 NUGET_XMLDOC_MODE=skip
# The flags of every build, pack and test.
dotnet_flags=(-c Release -nodeReuse:false -p:UseSharedCompilation=false -tl:off -v:quiet -clp:NoSummary)
