# SPDX-License-Identifier: MIT
# A stand-in for the FreeBSD ports framework's bsd.port.mk, so that bmake on
# Debian can read packaging/freebsd/Makefile (scripts/check-platform-packages:
# bmake -m tests/platform-stand-ins): the defaults the port's variables and
# its do-test target refer to, with the values the framework gives them
# (Mk/bsd.port.mk, Mk/Uses/cmake.mk) for this port. It fetches, builds,
# stages and packages nothing: that the framework does so with the port is
# proven on FreeBSD alone.
PREFIX?=	/usr/local
DISTNAME?=	${PORTNAME}-${DISTVERSION}
EXTRACT_SUFX?=	.tar.gz
DISTFILES?=	${DISTNAME}${EXTRACT_SUFX}
WRKDIR?=	${.CURDIR}/work
WRKSRC?=	${WRKDIR}/${DISTNAME}
# USES=cmake builds out of the source tree.
BUILD_WRKSRC?=	${WRKDIR}/.build
STAGEDIR?=	${WRKDIR}/stage
DOCSDIR?=	${PREFIX}/share/doc/${PORTNAME}
SH?=		/bin/sh
RM?=		/bin/rm -f
