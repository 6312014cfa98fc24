"""The tool's failures and the exit codes they end in."""

EXIT_OK = 0
EXIT_PROBLEMS = 1  # verify found something wrong
EXIT_USAGE = 2  # the command line itself (argparse's own code)
EXIT_REFUSED = 3  # input the launcher would refuse, or that cannot be published
EXIT_FAILED = 4  # the work could not be done: I/O, a busy feed, a file changing underneath


class FeedError(Exception):
    exit_code = EXIT_FAILED


class Refused(FeedError):
    """The input breaks a rule of the launcher (or of the feed): nothing was published."""
    exit_code = EXIT_REFUSED
