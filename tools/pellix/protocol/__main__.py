# SPDX-License-Identifier: Apache-2.0
import sys

from pellix.protocol import main

sys.exit(main(sys.argv[1:]))
