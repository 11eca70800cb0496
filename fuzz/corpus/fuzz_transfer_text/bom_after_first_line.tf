# hide a








﻿















ir andalp 