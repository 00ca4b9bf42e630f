# SPDX-License-Identifier: MIT
# A stand-in for the FreeBSD ports framework's bsd.port.mk, for bmake on
# Debian to read packaging/freebsd/Makefile (scripts/check-platform-packages):
# the defaults the port refers to, valued as Mk/bsd.port.mk and
# Mk/Uses/cmake.mk give them. Fetching, building and packaging: FreeBSD alone.
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
